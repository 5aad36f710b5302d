// A scriptable in-memory port for tests of everything that talks to the ECU
// through the link: the test feeds the bytes the "ECU" sends at chosen
// (virtual) times, sees every byte the link writes split into request
// frames, can answer requests from a function, and can make any port call
// fail or the line stall.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "common/Port.h"

namespace gascal {

// Time one byte takes on the line: 10 bits at 38400 baud.
constexpr double LINE_BYTE_USEC = 1e6 * 10.0 / 38400.0;
// A pause this long between written bytes makes the far end drop a partly
// received request, as an ECU's receiver does after an abandoned send.
constexpr double LINE_REQUEST_GAP_USEC = 20000;

class ScriptedLine : public std::enable_shared_from_this<ScriptedLine> {
  public:
    enum class Op { Configure, QueueStatus, Read, Write, Purge, Close };

    // Makes bytes readable at the given clock value (now when negative).
    void Feed(const QByteArray& bytes, double atUs = -1);
    // Makes bytes readable one by one, one line-byte time apart, the first
    // at `startUs` + one byte time (now when negative).
    void FeedPaced(const QByteArray& bytes, double startUs = -1, double perByteUs = LINE_BYTE_USEC);

    // Answers each request frame the link writes: the function returns the
    // bytes to send back (nothing for no answer); they go out paced, starting
    // `answerDelayUs` after the request's last byte reached the far end.
    using Responder = std::function<std::optional<QByteArray>(const QByteArray& request)>;
    void AnswerWith(Responder r, double answerDelayUs = 1000);
    // Called for every complete request frame, after the responder.
    std::function<void(const QByteArray& request)> onRequest;

    // The next `times` calls of `op` return `status`.
    void FailNext(Op op, uint32_t status, int times = 1);
    // Every call of `op` fails with `status` while set (0 clears).
    void FailAlways(Op op, uint32_t status) { failAlways_[op] = status; }
    // Bytes that arrive stay invisible to the link while stalled (ending a
    // stall notifies nobody).
    bool stalled = false;
    // Opening this line fails with this status when not 0.
    uint32_t openStatus = PORT_OK;

    // What happened.
    QByteArray written;                // every byte written, in order
    std::vector<QByteArray> requests;  // complete request frames written
    std::vector<double> requestTimes;  // clock value when each was complete
    QByteArray input;                  // bytes readable now
    int opens = 0, closes = 0, purges = 0, configures = 0;
    LineSettings lastSettings;
    bool open = false;

    // Port calls (used by ScriptedPort).
    uint32_t Call(Op op);

  private:
    friend class ScriptedPort;
    void ScanRequests();
    void Arrived(const QByteArray& bytes);
    // The open port's input watcher: called as fed bytes arrive.
    std::function<void()> watcher_;
    const void* watcherPort_ = nullptr;
    Responder responder_;
    double answerDelayUs_ = 1000;
    double lastWriteUs_ = 0;
    QByteArray pending_;
    std::map<Op, std::vector<uint32_t>> failNext_;
    std::map<Op, uint32_t> failAlways_;
};

class ScriptedPort : public Port {
  public:
    explicit ScriptedPort(std::shared_ptr<ScriptedLine> line, std::string name)
        : line_(std::move(line)), name_(std::move(name)) {}
    ~ScriptedPort() override;
    std::string Description() const override { return name_; }
    uint32_t Configure(const LineSettings& s) override;
    uint32_t QueueStatus(PortQueue& q) override;
    uint32_t Read(uint8_t* buf, uint32_t max, uint32_t& got) override;
    uint32_t Write(const uint8_t* buf, uint32_t n, uint32_t& written) override;
    uint32_t Purge(uint32_t mask) override;
    uint32_t Close() override;
    // Fed bytes notify as they arrive, like a serial port's ready-read.
    bool NotifiesInput() const override { return true; }
    void SetInputWatcher(std::function<void()> onInput) override;

  private:
    std::shared_ptr<ScriptedLine> line_;
    std::string name_;
};

// USB devices and serial ports made of scripted lines.
class ScriptedPortProvider : public PortProvider {
  public:
    std::vector<std::shared_ptr<ScriptedLine>> usb;
    std::map<int, std::shared_ptr<ScriptedLine>> serial;
    uint32_t countStatus = PORT_OK;  // status of the device count
    QStringList openLog;             // "USB0", "COM3", ... every open attempt

    uint32_t UsbDeviceCount(uint32_t& count) override;
    std::unique_ptr<Port> OpenUsb(uint32_t index, uint32_t& status) override;
    std::unique_ptr<Port> OpenSerial(int comNumber, uint32_t& status) override;
    std::string SerialDeviceName(int comNumber) const override;
};

}  // namespace gascal
