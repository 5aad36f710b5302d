#include "sim/core/SimPort.h"

#include <vector>

#include "common/EventService.h"

namespace gascal::sim {

SimPort::SimPort(std::shared_ptr<SimEcu> ecu)
    : ecu_(std::move(ecu)), generation_(ecu_->PortGeneration()) {}

SimPort::~SimPort() = default;

uint32_t SimPort::Check() {
    if (!open_) return PORT_INVALID_HANDLE;
    const double now = MicroSeconds();
    if (!ecu_->PortPresent(now) || ecu_->PortGeneration() != generation_) return PORT_IO_ERROR;
    return PORT_OK;
}

uint32_t SimPort::Configure(const LineSettings& s) {
    if (const uint32_t st = Check()) return st;
    if (s.baud == 0) return PORT_INVALID_BAUD_RATE;
    lineMatches_ = s.baud == 38400 && s.dataBits == 8 && s.stopBitsCode == 0 && s.parityCode == 0;
    return PORT_OK;
}

uint32_t SimPort::QueueStatus(PortQueue& q) {
    q = PortQueue{};
    if (const uint32_t st = Check()) return st;
    const double now = MicroSeconds();
    q.inQue = static_cast<uint32_t>(ecu_->Readable(now));
    q.outQue = static_cast<uint32_t>(ecu_->InFlightToEcu(now));
    return PORT_OK;
}

uint32_t SimPort::Read(uint8_t* buf, uint32_t max, uint32_t& got) {
    got = 0;
    if (const uint32_t st = Check()) return st;
    if (!buf && max > 0) return PORT_INVALID_PARAMETER;
    got = static_cast<uint32_t>(ecu_->TakeReadable(buf, max, MicroSeconds()));
    return PORT_OK;
}

uint32_t SimPort::Write(const uint8_t* buf, uint32_t n, uint32_t& written) {
    written = 0;
    if (const uint32_t st = Check()) return st;
    if (!buf && n > 0) return PORT_INVALID_PARAMETER;
    if (lineMatches_) {
        ecu_->ToolWrite(buf, n, MicroSeconds());
    } else {
        // A wrong line setting turns every byte into something else at the ECU.
        std::vector<uint8_t> garbled(buf, buf + n);
        for (auto& b : garbled) b = static_cast<uint8_t>(~b & 0x3F);
        ecu_->ToolWrite(garbled.data(), n, MicroSeconds());
    }
    written = n;
    return PORT_OK;
}

uint32_t SimPort::Purge(uint32_t mask) {
    if (const uint32_t st = Check()) return st;
    const double now = MicroSeconds();
    if (mask & PURGE_RX) ecu_->PurgeToolInput(now);
    if (mask & PURGE_TX) ecu_->PurgeToolOutput(now);
    return PORT_OK;
}

double SimPort::NextInputUs() {
    // A port that failed says nothing: the link then looks at it and sees why.
    if (Check() != PORT_OK) return INPUT_TIME_UNKNOWN;
    ecu_->AdvanceTo(MicroSeconds());
    return ecu_->NextEventUs();
}

uint32_t SimPort::Close() {
    if (!open_) return PORT_INVALID_HANDLE;
    open_ = false;
    return PORT_OK;
}

// --- Provider --------------------------------------------------------------------------

uint32_t SimUsbProvider::UsbDeviceCount(uint32_t& count) {
    count = ecu_->PortPresent(MicroSeconds()) ? 1 : 0;
    return PORT_OK;
}

std::unique_ptr<Port> SimUsbProvider::OpenUsb(uint32_t index, uint32_t& status) {
    if (index != 0 || !ecu_->PortPresent(MicroSeconds())) {
        status = PORT_DEVICE_NOT_FOUND;
        return nullptr;
    }
    status = PORT_OK;
    ++opens_;
    return std::make_unique<SimPort>(ecu_);
}

std::unique_ptr<Port> SimUsbProvider::OpenSerial(int, uint32_t& status) {
    status = PORT_DEVICE_NOT_FOUND;
    return nullptr;
}

}  // namespace gascal::sim
