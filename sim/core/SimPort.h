// The in-process transport to the simulated ECU: a Port whose far end is a
// SimEcu, and a provider that shows the simulated ECU as USB device 0 so the
// tool's port search finds it like a USB cable.
//
// The port reads the clock of the event service on every call; bytes written
// reach the ECU at line speed and answer bytes become readable as the line
// delivers them. The port tells the link when the line's next byte is due,
// so the link's timer can sleep until then. While the simulated cable is pulled, opening fails with
// PORT_DEVICE_NOT_FOUND and every call on a port that was open returns
// PORT_IO_ERROR, also after the cable is back: the port must be reopened.
#pragma once

#include <memory>
#include <string>

#include "common/Port.h"
#include "sim/core/SimEcu.h"

namespace gascal::sim {

class SimPort : public Port {
  public:
    explicit SimPort(std::shared_ptr<SimEcu> ecu);
    ~SimPort() override;

    std::string Description() const override { return "Simulated ECU"; }
    uint32_t Configure(const LineSettings& s) override;
    uint32_t QueueStatus(PortQueue& q) override;
    uint32_t Read(uint8_t* buf, uint32_t max, uint32_t& got) override;
    uint32_t Write(const uint8_t* buf, uint32_t n, uint32_t& written) override;
    uint32_t Purge(uint32_t mask) override;
    uint32_t Close() override;
    // The line's next event (an answer byte arriving, or the last request
    // byte reaching the ECU, which then schedules its answer): the link
    // sleeps until then instead of looking every millisecond.
    double NextInputUs() override;

    bool IsOpen() const { return open_; }

  private:
    // PORT_OK when the port can be used now.
    uint32_t Check();

    std::shared_ptr<SimEcu> ecu_;
    uint64_t generation_;
    bool open_ = true;
    bool lineMatches_ = true;  // 38400 8N1: otherwise the ECU sees only garbage
};

// Lists the simulated ECU as the one USB device; serial ports are not its business.
class SimUsbProvider : public PortProvider {
  public:
    explicit SimUsbProvider(std::shared_ptr<SimEcu> ecu) : ecu_(std::move(ecu)) {}

    uint32_t UsbDeviceCount(uint32_t& count) override;
    std::unique_ptr<Port> OpenUsb(uint32_t index, uint32_t& status) override;
    std::unique_ptr<Port> OpenSerial(int comNumber, uint32_t& status) override;
    std::string SerialDeviceName(int) const override { return {}; }

    const std::shared_ptr<SimEcu>& Ecu() const { return ecu_; }
    // Number of ports opened so far (each open is counted once).
    uint64_t Opens() const { return opens_; }

  private:
    std::shared_ptr<SimEcu> ecu_;
    uint64_t opens_ = 0;
};

}  // namespace gascal::sim
