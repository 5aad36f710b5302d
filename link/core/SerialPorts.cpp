// Serial ports through QSerialPort. The link looks at the port from its
// timer: QueueStatus lets the port pick up what the driver holds
// (waitForReadyRead with no wait) before counting. While the link waits for
// input it watches the port's ready-read notification; otherwise arriving
// bytes stay in the driver and do not wake the process.
#include <QFile>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTimer>
#include <algorithm>

#include "link/core/MachinePorts.h"

#ifdef Q_OS_UNIX
#include <unistd.h>

#include <cerrno>
#endif

namespace gascal {

namespace {
QString g_overridePath;
int g_overrideCom = 1;

constexpr int kMaxComNumber = 9;

// While nobody watches the port, QSerialPort takes at most this many bytes
// into its own buffer; with the buffer full it stops its read notification,
// so the bytes of an answer do not wake the process one by one.
constexpr qint64 kQuietReadBuffer = 1;

class SerialPort : public Port {
  public:
    explicit SerialPort(const QString& path) : path_(path) {
        port_.setPortName(path);
        QObject::connect(&port_, &QSerialPort::readyRead, [this] {
            if (watcher_) watcher_();
        });
        QObject::connect(
            &port_, &QSerialPort::errorOccurred, [this](QSerialPort::SerialPortError e) {
                // A device that went away wakes the watcher too; the time-outs
                // of the waits with no wait do not.
                if (watcher_ && e != QSerialPort::NoError && e != QSerialPort::TimeoutError)
                    watcher_();
            });
    }
    ~SerialPort() override {
        if (port_.isOpen()) port_.close();
    }

    bool Open(uint32_t& status) {
        if (!port_.open(QIODevice::ReadWrite)) {
            status = SerialOpenFailure(port_.error(), DeviceAccessError(path_));
            return false;
        }
        port_.setReadBufferSize(kQuietReadBuffer);
        status = PORT_OK;
        return true;
    }

    std::string Description() const override { return path_.toStdString(); }

    uint32_t Configure(const LineSettings& s) override {
        if (!port_.isOpen()) return PORT_INVALID_HANDLE;
        writeTimeoutMs_ = static_cast<int>(std::max<uint32_t>(1, s.writeTimeoutMs));
        // The line flag word of the serial settings has no counterpart here;
        // the ECU line is always 38400 8N1 without flow control.
        const bool ok =
            port_.setBaudRate(static_cast<qint32>(s.baud)) &&
            port_.setDataBits(static_cast<QSerialPort::DataBits>(s.dataBits)) &&
            port_.setParity(QSerialPort::NoParity) &&
            port_.setStopBits(s.stopBitsCode == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop) &&
            port_.setFlowControl(QSerialPort::NoFlowControl);
        return ok ? PORT_OK : PORT_INVALID_PARAMETER;
    }

    uint32_t QueueStatus(PortQueue& q) override {
        q = PortQueue{};
        if (!port_.isOpen()) return PORT_INVALID_HANDLE;
        // Everything the driver holds is taken in and counted.
        port_.setReadBufferSize(0);
        port_.waitForReadyRead(0);
        if (!watcher_) port_.setReadBufferSize(kQuietReadBuffer);
        if (const uint32_t st = CheckError(); st != PORT_OK) return st;
        q.inQue = static_cast<uint32_t>(port_.bytesAvailable());
        q.outQue = static_cast<uint32_t>(port_.bytesToWrite());
        return PORT_OK;
    }

    uint32_t Read(uint8_t* buf, uint32_t max, uint32_t& got) override {
        got = 0;
        if (!port_.isOpen()) return PORT_INVALID_HANDLE;
        const qint64 n = port_.read(reinterpret_cast<char*>(buf), max);
        if (n < 0) return PORT_IO_ERROR;
        got = static_cast<uint32_t>(n);
        return CheckError();
    }

    uint32_t Write(const uint8_t* buf, uint32_t n, uint32_t& written) override {
        written = 0;
        if (!port_.isOpen()) return PORT_INVALID_HANDLE;
        const qint64 w = port_.write(reinterpret_cast<const char*>(buf), n);
        if (w < 0) return PORT_IO_ERROR;
        // Hand the byte to the driver now: the pause after each byte is
        // the ECU's, and must not be spent in Qt's write buffer.
        while (port_.bytesToWrite() > 0)
            if (!port_.waitForBytesWritten(writeTimeoutMs_)) break;
        if (const uint32_t st = CheckError(); st != PORT_OK) return st;
        written = static_cast<uint32_t>(w);
        return port_.bytesToWrite() > 0 ? PORT_IO_ERROR : PORT_OK;
    }

    uint32_t Purge(uint32_t mask) override {
        if (!port_.isOpen()) return PORT_INVALID_HANDLE;
        QSerialPort::Directions d;
        if (mask & PURGE_RX) d |= QSerialPort::Input;
        if (mask & PURGE_TX) d |= QSerialPort::Output;
        if (mask & PURGE_RX) port_.readAll();
        return port_.clear(d) ? PORT_OK : PORT_IO_ERROR;
    }

    uint32_t Close() override {
        watcher_ = nullptr;
        if (port_.isOpen()) port_.close();
        return PORT_OK;
    }

    bool NotifiesInput() const override { return true; }

    void SetInputWatcher(std::function<void()> onInput) override {
        const bool was = static_cast<bool>(watcher_);
        watcher_ = std::move(onInput);
        if (!port_.isOpen() || was == static_cast<bool>(watcher_)) return;
        port_.setReadBufferSize(watcher_ ? 0 : kQuietReadBuffer);
        // Bytes already taken in give no further notification: tell at once.
        if (watcher_ && port_.bytesAvailable() > 0)
            QTimer::singleShot(0, &port_, [this] {
                if (watcher_) watcher_();
            });
    }

  private:
    uint32_t CheckError() {
        const QSerialPort::SerialPortError e = port_.error();
        if (e == QSerialPort::NoError || e == QSerialPort::TimeoutError) {
            if (e == QSerialPort::TimeoutError) port_.clearError();
            return PORT_OK;
        }
        port_.clearError();
        return e == QSerialPort::ResourceError ? PORT_IO_ERROR : PORT_OTHER_ERROR;
    }

    QString path_;
    QSerialPort port_;
    int writeTimeoutMs_ = 50;
    std::function<void()> watcher_;
};

// Sort key: class of device, then its number, then its name.
struct DeviceKey {
    int cls;
    long number;
    QString name;
};

DeviceKey KeyOf(const QString& path) {
    static const QRegularExpression re(QStringLiteral("^(?:/dev/)?(ttyS|ttyUSB|ttyACM)(\\d+)$"));
    const auto m = re.match(path);
    if (!m.hasMatch()) return {3, 0, path};
    const QString kind = m.captured(1);
    const int cls = kind == QLatin1String("ttyS") ? 0 : kind == QLatin1String("ttyUSB") ? 1 : 2;
    return {cls, m.captured(2).toLong(), path};
}
}  // namespace

int DeviceAccessError(const QString& path) {
#ifdef Q_OS_UNIX
    return access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0 ? 0 : errno;
#else
    Q_UNUSED(path);
    return 0;
#endif
}

uint32_t SerialOpenFailure(int serialPortError, int accessError) {
    // The serial port reports a missing permission and a device held by
    // another program (its lock file, or the exclusive mode of the
    // terminal) alike; the access check tells them apart.
    switch (serialPortError) {
        case QSerialPort::DeviceNotFoundError:
            return PORT_DEVICE_NOT_FOUND;
        case QSerialPort::PermissionError:
#ifdef Q_OS_UNIX
            if (accessError == EACCES || accessError == EPERM) return PORT_ACCESS_DENIED;
            if (accessError == ENOENT) return PORT_DEVICE_NOT_FOUND;
#endif
            return accessError == 0 ? PORT_DEVICE_BUSY : PORT_DEVICE_NOT_OPENED;
        default:
#ifdef Q_OS_UNIX
            if (accessError == EACCES || accessError == EPERM) return PORT_ACCESS_DENIED;
#endif
            return PORT_DEVICE_NOT_OPENED;
    }
}

void SetSerialOverride(const QString& path, int comNumber) {
    g_overridePath = path;
    g_overrideCom = std::clamp(comNumber, 1, kMaxComNumber);
}

QString SerialOverridePath() {
    return g_overridePath;
}
int SerialOverrideCom() {
    return g_overrideCom;
}

QStringList OrderSerialDevices(const QStringList& paths) {
    QStringList out = paths;
    std::stable_sort(out.begin(), out.end(), [](const QString& a, const QString& b) {
        const DeviceKey ka = KeyOf(a), kb = KeyOf(b);
        if (ka.cls != kb.cls) return ka.cls < kb.cls;
        if (ka.number != kb.number) return ka.number < kb.number;
        return ka.name < kb.name;
    });
    return out;
}

QString SerialDevicePath(int comNumber) {
    if (comNumber < 1 || comNumber > kMaxComNumber) return {};
    if (!g_overridePath.isEmpty() && comNumber == g_overrideCom) return g_overridePath;
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(comNumber);
#else
    QStringList paths;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        if (info.systemLocation() != g_overridePath) paths << info.systemLocation();
    paths = OrderSerialDevices(paths);
    // The override takes the place of its number; the others keep theirs.
    if (comNumber - 1 < paths.size()) return paths[comNumber - 1];
    return {};
#endif
}

QStringList SerialPortMap() {
    QStringList lines;
    for (int n = 1; n <= kMaxComNumber; ++n) {
        const QString dev = SerialDevicePath(n);
        lines << QStringLiteral("COM%1 = %2")
                     .arg(n)
                     .arg(dev.isEmpty() ? QStringLiteral("(none)") : dev);
    }
    return lines;
}

std::unique_ptr<Port> SerialPortProvider::OpenPath(const QString& path, uint32_t& status) {
    if (path.isEmpty()) {
        status = PORT_DEVICE_NOT_FOUND;
        return nullptr;
    }
    auto port = std::make_unique<SerialPort>(path);
    if (!port->Open(status)) return nullptr;
    return port;
}

std::unique_ptr<Port> SerialPortProvider::OpenSerial(int comNumber, uint32_t& status) {
    return OpenPath(SerialDevicePath(comNumber), status);
}

std::string SerialPortProvider::SerialDeviceName(int comNumber) const {
    return SerialDevicePath(comNumber).toStdString();
}

}  // namespace gascal
