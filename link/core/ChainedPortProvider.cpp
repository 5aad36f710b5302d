#include "link/core/MachinePorts.h"

namespace gascal {

PortProvider* ChainedPortProvider::Own(std::unique_ptr<PortProvider> p) {
    owned_.push_back(std::move(p));
    return owned_.back().get();
}

uint32_t ChainedPortProvider::UsbDeviceCount(uint32_t& count) {
    count = 0;
    bool anyOk = false;
    uint32_t lastError = PORT_DEVICE_NOT_FOUND;
    for (PortProvider* p : usb_) {
        uint32_t n = 0;
        const uint32_t st = p->UsbDeviceCount(n);
        if (st == PORT_OK) {
            anyOk = true;
            count += n;
        } else {
            lastError = st;
        }
    }
    return anyOk || usb_.empty() ? PORT_OK : lastError;
}

std::unique_ptr<Port> ChainedPortProvider::OpenUsb(uint32_t index, uint32_t& status) {
    for (PortProvider* p : usb_) {
        uint32_t n = 0;
        if (p->UsbDeviceCount(n) != PORT_OK) n = 0;
        if (index < n) return p->OpenUsb(index, status);
        index -= n;
    }
    status = PORT_DEVICE_NOT_FOUND;
    return nullptr;
}

std::unique_ptr<Port> ChainedPortProvider::OpenSerial(int comNumber, uint32_t& status) {
    if (!serial_) {
        status = PORT_DEVICE_NOT_FOUND;
        return nullptr;
    }
    return serial_->OpenSerial(comNumber, status);
}

std::string ChainedPortProvider::SerialDeviceName(int comNumber) const {
    return serial_ ? serial_->SerialDeviceName(comNumber) : std::string();
}

std::unique_ptr<ChainedPortProvider> MakeMachinePortProvider(PortProvider* frontUsb) {
    auto chain = std::make_unique<ChainedPortProvider>();
    if (frontUsb) chain->AddUsb(frontUsb);
    chain->AddUsb(chain->Own(std::make_unique<FtdiPortProvider>()));
    chain->SetSerial(chain->Own(std::make_unique<SerialPortProvider>()));
    return chain;
}

}  // namespace gascal
