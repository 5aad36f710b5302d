// One interface for every way the tool reaches an ECU: a serial port of the
// system, the USB cable, the in-process simulated ECU, or a scripted port in
// tests. The operations are those the link needs, shaped like the USB cable
// driver's (status 0 = success, anything else a driver status code); the link
// converts to the serial convention where it records serial results.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>

namespace gascal {

// Driver status codes (the USB cable driver's numbering).
enum PortStatus : uint32_t {
    PORT_OK = 0,
    PORT_INVALID_HANDLE = 1,
    PORT_DEVICE_NOT_FOUND = 2,
    PORT_DEVICE_NOT_OPENED = 3,
    PORT_IO_ERROR = 4,
    PORT_INSUFFICIENT_RESOURCES = 5,
    PORT_INVALID_PARAMETER = 6,
    PORT_INVALID_BAUD_RATE = 7,
    // Why a device could not be opened, beyond the cable driver's own codes:
    // the user may not read and write it, or another program holds it.
    PORT_ACCESS_DENIED = 0x100,
    PORT_DEVICE_BUSY = 0x101,
    PORT_OTHER_ERROR = 18,
};

// NextInputUs() of a port that cannot tell when input arrives.
constexpr double INPUT_TIME_UNKNOWN = std::numeric_limits<double>::quiet_NaN();
// NextInputUs() of a port on which nothing is on its way.
constexpr double NO_INPUT_DUE = std::numeric_limits<double>::infinity();

// Purge masks.
constexpr uint32_t PURGE_RX = 1;
constexpr uint32_t PURGE_TX = 2;

struct PortQueue {
    uint32_t errors = 0;  // error flags (serial line errors); 0 when none
    uint32_t inQue = 0;   // bytes waiting to be read
    uint32_t outQue = 0;  // bytes waiting to be sent
};

// Line settings the link applies on open. The ECU line is fixed at
// 38400 baud, 8 data bits, no parity, one stop bit.
struct LineSettings {
    uint32_t baud = 38400;
    uint8_t dataBits = 8;
    uint8_t stopBitsCode = 0;  // 0 = one stop bit
    uint8_t parityCode = 0;    // 0 = none
    uint32_t readTimeoutMs = 50;
    uint32_t writeTimeoutMs = 50;
    uint32_t dcbFlags = 0;  // serial only: replaces the line flag word when not 0
};

// An open port.
class Port {
  public:
    virtual ~Port() = default;
    virtual std::string Description() const = 0;
    virtual uint32_t Configure(const LineSettings& s) = 0;
    virtual uint32_t QueueStatus(PortQueue& q) = 0;
    // Reads up to `max` waiting bytes; `got` receives the count.
    virtual uint32_t Read(uint8_t* buf, uint32_t max, uint32_t& got) = 0;
    virtual uint32_t Write(const uint8_t* buf, uint32_t n, uint32_t& written) = 0;
    virtual uint32_t Purge(uint32_t mask) = 0;
    virtual uint32_t Close() = 0;

    // --- Telling the link that input arrives --------------------------------
    // A port that knows when its next input byte becomes readable (a
    // simulated line) returns that clock value, NO_INPUT_DUE when nothing is
    // on its way; every other port INPUT_TIME_UNKNOWN.
    virtual double NextInputUs() { return INPUT_TIME_UNKNOWN; }
    // True when SetInputWatcher works: the port calls the watcher as input
    // arrives (a serial port's ready-read notification).
    virtual bool NotifiesInput() const { return false; }
    // Installs the function called whenever input arrives; an empty function
    // stops the calls. Setting the same kind again is cheap.
    virtual void SetInputWatcher(std::function<void()> /*onInput*/) {}
};

// What the link can open: USB devices by index, serial ports by number.
class PortProvider {
  public:
    virtual ~PortProvider() = default;
    // Number of USB cable devices present (simulated ones included).
    virtual uint32_t UsbDeviceCount(uint32_t& count) = 0;
    virtual std::unique_ptr<Port> OpenUsb(uint32_t index, uint32_t& status) = 0;
    // Serial port COM<number> (1..9).
    virtual std::unique_ptr<Port> OpenSerial(int comNumber, uint32_t& status) = 0;
    // What COM<number> stands for on this machine (a device path); empty when none.
    virtual std::string SerialDeviceName(int comNumber) const = 0;
};

}  // namespace gascal
