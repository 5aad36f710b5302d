// The ports of the machine the tool runs on, behind the one port interface:
// serial ports through QSerialPort, the USB cable through libftdi1, and a
// provider that chains several USB device lists (the simulated ECU first
// when the tool runs with --sim) in front of the serial ports.
//
// Serial port numbers on Linux: COM1..COM9 stand for the machine's serial
// devices in this order: /dev/ttyS<n> by n, then /dev/ttyUSB<n> by n, then
// /dev/ttyACM<n> by n, then any other device by name; only devices the
// system reports as present are counted. A device path given with
// SetSerialOverride (the --port option) takes the place of the given COM
// number; the other numbers keep their devices. On Windows COMn is the system's COMn.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "common/Port.h"

namespace gascal {

// --port PATH: the path stands for serial port COM<comNumber> (1..9).
// An empty path removes the override.
void SetSerialOverride(const QString& path, int comNumber);
QString SerialOverridePath();
int SerialOverrideCom();

// What COM1..COM9 stand for on this machine, one line each ("COM1 = /dev/ttyS0"),
// for the user to see (gascal-cli --list-ports, the port menu's tool tip).
QStringList SerialPortMap();
// The device COM<n> stands for; empty when none.
QString SerialDevicePath(int comNumber);
// Orders device paths the way COM numbers are given out.
QStringList OrderSerialDevices(const QStringList& paths);

// 0 when the user may read and write the device, else the system's error
// number of that check (EACCES, ENOENT, ...).
int DeviceAccessError(const QString& path);
// Port status of a serial open that failed with QSerialPort's error
// `serialPortError`, given the device's access check: PORT_ACCESS_DENIED,
// PORT_DEVICE_BUSY, PORT_DEVICE_NOT_FOUND or PORT_DEVICE_NOT_OPENED.
uint32_t SerialOpenFailure(int serialPortError, int accessError);
// Port status of a USB cable open that failed with libftdi's result
// `ftdiResult`, given the access check of the cable's USB device node.
uint32_t FtdiOpenFailure(int ftdiResult, int accessError);

// Serial ports through QSerialPort: 38400 8N1, no flow control.
class SerialPortProvider : public PortProvider {
  public:
    uint32_t UsbDeviceCount(uint32_t& count) override {
        count = 0;
        return PORT_OK;
    }
    std::unique_ptr<Port> OpenUsb(uint32_t, uint32_t& status) override {
        status = PORT_DEVICE_NOT_FOUND;
        return nullptr;
    }
    std::unique_ptr<Port> OpenSerial(int comNumber, uint32_t& status) override;
    std::string SerialDeviceName(int comNumber) const override;
    // Opens a device path directly (tests, the override).
    static std::unique_ptr<Port> OpenPath(const QString& path, uint32_t& status);
};

// FTDI USB serial cables through libftdi1 (vendor 0x0403, the usual
// product ids). Without a cable, or without USB access, it reports zero
// devices.
class FtdiPortProvider : public PortProvider {
  public:
    uint32_t UsbDeviceCount(uint32_t& count) override;
    std::unique_ptr<Port> OpenUsb(uint32_t index, uint32_t& status) override;
    std::unique_ptr<Port> OpenSerial(int, uint32_t& status) override {
        status = PORT_DEVICE_NOT_FOUND;
        return nullptr;
    }
    std::string SerialDeviceName(int) const override { return {}; }
};

// USB devices of several providers one after the other (device indices run
// on across them); serial ports from one provider.
class ChainedPortProvider : public PortProvider {
  public:
    // Providers are not owned unless given with Own().
    void AddUsb(PortProvider* p) { usb_.push_back(p); }
    // Puts a provider's USB devices before all others (the simulated ECU
    // taken on while the tool runs): its first device becomes device 0.
    void AddUsbFront(PortProvider* p) { usb_.insert(usb_.begin(), p); }
    void SetSerial(PortProvider* p) { serial_ = p; }
    PortProvider* Own(std::unique_ptr<PortProvider> p);

    uint32_t UsbDeviceCount(uint32_t& count) override;
    std::unique_ptr<Port> OpenUsb(uint32_t index, uint32_t& status) override;
    std::unique_ptr<Port> OpenSerial(int comNumber, uint32_t& status) override;
    std::string SerialDeviceName(int comNumber) const override;

  private:
    std::vector<PortProvider*> usb_;
    PortProvider* serial_ = nullptr;
    std::vector<std::unique_ptr<PortProvider>> owned_;
};

// The machine's own ports: `frontUsb` (e.g. the simulated ECU, not owned)
// first when given, then the FTDI cables; serial ports through QSerialPort.
std::unique_ptr<ChainedPortProvider> MakeMachinePortProvider(PortProvider* frontUsb = nullptr);

}  // namespace gascal
