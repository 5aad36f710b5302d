// The USB cable through libftdi1, shaped like the D2XX driver the link was
// written for: device count, open by index, line settings, time-outs,
// event and error characters, purge, queue status, read and write, each
// returning a D2XX-style status. Libftdi has no queue count, so a small
// read-ahead buffer holds what the chip has delivered and is counted.
#include <ftdi.h>
#include <libusb.h>

#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "link/core/MachinePorts.h"

namespace gascal {

namespace {
constexpr unsigned char kEventChar = 0x7E;
constexpr unsigned char kLatencyMs = 1;  // the chip reports at least this often
constexpr int kReadChunk = 512;
// Results of ftdi_usb_open_dev: the device could not be opened (libusb_open),
// or its interface is claimed by another program.
constexpr int kFtdiOpenFailed = -4;
constexpr int kFtdiClaimFailed = -5;

// The cable's device node, whose permissions decide whether it may be opened.
QString UsbDeviceNode(libusb_device* dev) {
    return QStringLiteral("/dev/bus/usb/%1/%2")
        .arg(libusb_get_bus_number(dev), 3, 10, QLatin1Char('0'))
        .arg(libusb_get_device_address(dev), 3, 10, QLatin1Char('0'));
}

// One libftdi context with its device list, freed on every path.
struct FtdiList {
    ftdi_context* ctx = ftdi_new();
    ftdi_device_list* list = nullptr;
    int count = -1;
    FtdiList() {
        if (ctx) count = ftdi_usb_find_all(ctx, &list, 0, 0);  // 0, 0: the FTDI ids
    }
    ~FtdiList() {
        if (list) ftdi_list_free(&list);
        if (ctx) ftdi_free(ctx);
    }
    FtdiList(const FtdiList&) = delete;
    FtdiList& operator=(const FtdiList&) = delete;
};

class FtdiPort : public Port {
  public:
    explicit FtdiPort(ftdi_context* ctx) : ctx_(ctx) {}
    ~FtdiPort() override { Close(); }

    std::string Description() const override { return "FTDI USB cable"; }

    uint32_t Configure(const LineSettings& s) override {
        if (!ctx_) return PORT_INVALID_HANDLE;
        if (ftdi_set_baudrate(ctx_, static_cast<int>(s.baud)) < 0) return PORT_INVALID_BAUD_RATE;
        const ftdi_bits_type bits = s.dataBits == 7 ? BITS_7 : BITS_8;
        const ftdi_stopbits_type stop = s.stopBitsCode == 2 ? STOP_BIT_2 : STOP_BIT_1;
        if (ftdi_set_line_property(ctx_, bits, stop, NONE) < 0) return PORT_IO_ERROR;
        if (ftdi_setflowctrl(ctx_, SIO_DISABLE_FLOW_CTRL) < 0) return PORT_IO_ERROR;
        ctx_->usb_read_timeout = static_cast<int>(s.readTimeoutMs);
        ctx_->usb_write_timeout = static_cast<int>(s.writeTimeoutMs);
        ftdi_set_latency_timer(ctx_, kLatencyMs);
        if (ftdi_set_event_char(ctx_, kEventChar, 0) < 0) return PORT_IO_ERROR;
        if (ftdi_set_error_char(ctx_, 0, 0) < 0) return PORT_IO_ERROR;
        return PORT_OK;
    }

    uint32_t QueueStatus(PortQueue& q) override {
        q = PortQueue{};
        if (!ctx_) return PORT_INVALID_HANDLE;
        unsigned char chunk[kReadChunk];
        const int n = ftdi_read_data(ctx_, chunk, sizeof chunk);
        if (n < 0) return PORT_IO_ERROR;
        ahead_.insert(ahead_.end(), chunk, chunk + n);
        q.inQue = static_cast<uint32_t>(ahead_.size());
        return PORT_OK;
    }

    uint32_t Read(uint8_t* buf, uint32_t max, uint32_t& got) override {
        got = 0;
        if (!ctx_) return PORT_INVALID_HANDLE;
        got = std::min<uint32_t>(max, static_cast<uint32_t>(ahead_.size()));
        if (got) std::memcpy(buf, ahead_.data(), got);
        ahead_.erase(ahead_.begin(), ahead_.begin() + got);
        return PORT_OK;
    }

    uint32_t Write(const uint8_t* buf, uint32_t n, uint32_t& written) override {
        written = 0;
        if (!ctx_) return PORT_INVALID_HANDLE;
        const int w = ftdi_write_data(ctx_, buf, static_cast<int>(n));
        if (w < 0) return PORT_IO_ERROR;
        written = static_cast<uint32_t>(w);
        return PORT_OK;
    }

    uint32_t Purge(uint32_t mask) override {
        if (!ctx_) return PORT_INVALID_HANDLE;
        int rc = 0;
        if ((mask & PURGE_RX) && (mask & PURGE_TX))
            rc = ftdi_tcioflush(ctx_);
        else if (mask & PURGE_RX)
            rc = ftdi_tciflush(ctx_);
        else if (mask & PURGE_TX)
            rc = ftdi_tcoflush(ctx_);
        if (mask & PURGE_RX) ahead_.clear();
        return rc < 0 ? PORT_IO_ERROR : PORT_OK;
    }

    uint32_t Close() override {
        if (!ctx_) return PORT_OK;
        ftdi_usb_close(ctx_);
        ftdi_free(ctx_);
        ctx_ = nullptr;
        return PORT_OK;
    }

  private:
    ftdi_context* ctx_;
    std::vector<uint8_t> ahead_;
};
}  // namespace

uint32_t FtdiOpenFailure(int ftdiResult, int accessError) {
    if (ftdiResult == kFtdiOpenFailed && (accessError == EACCES || accessError == EPERM))
        return PORT_ACCESS_DENIED;
    if (ftdiResult == kFtdiClaimFailed) return PORT_DEVICE_BUSY;
    return PORT_DEVICE_NOT_OPENED;
}

uint32_t FtdiPortProvider::UsbDeviceCount(uint32_t& count) {
    FtdiList devices;
    count = devices.count > 0 ? static_cast<uint32_t>(devices.count) : 0;
    if (!devices.ctx) return PORT_INSUFFICIENT_RESOURCES;
    return devices.count < 0 ? PORT_DEVICE_NOT_FOUND : PORT_OK;
}

std::unique_ptr<Port> FtdiPortProvider::OpenUsb(uint32_t index, uint32_t& status) {
    FtdiList devices;
    if (!devices.ctx || devices.count <= 0 || index >= static_cast<uint32_t>(devices.count)) {
        status = PORT_DEVICE_NOT_FOUND;
        return nullptr;
    }
    ftdi_device_list* d = devices.list;
    for (uint32_t i = 0; i < index && d; ++i) d = d->next;
    ftdi_context* ctx = ftdi_new();
    if (!ctx || !d) {
        if (ctx) ftdi_free(ctx);
        status = PORT_DEVICE_NOT_FOUND;
        return nullptr;
    }
    if (const int rc = ftdi_usb_open_dev(ctx, d->dev); rc < 0) {
        ftdi_free(ctx);
        status = FtdiOpenFailure(rc, DeviceAccessError(UsbDeviceNode(d->dev)));
        return nullptr;
    }
    status = PORT_OK;
    return std::make_unique<FtdiPort>(ctx);
}

}  // namespace gascal
