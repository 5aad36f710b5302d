#include "link/core/PortDiagnosis.h"

#include <QtGlobal>
#include <algorithm>
#include <memory>

#include "common/Port.h"

#ifdef Q_OS_UNIX
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace gascal {

namespace {
constexpr int kLastCom = 9;

QString Fill(QString text, const AccessAdvice& a) {
    return text.replace(QLatin1String("%1"), a.user).replace(QLatin1String("%2"), a.group);
}
}  // namespace

PortFault FaultOfStatus(uint32_t status) {
    switch (status) {
        case PORT_DEVICE_NOT_FOUND:
            return PortFault::NoDevice;
        case PORT_ACCESS_DENIED:
            return PortFault::PermissionDenied;
        case PORT_DEVICE_BUSY:
            return PortFault::Busy;
        default:
            return PortFault::OpenFailed;
    }
}

// --- The record -------------------------------------------------------------------

void PortSearchReport::Clear() {
    attempts_.clear();
    failedRounds_ = 0;
    answeredThisRound_ = false;
}

void PortSearchReport::Answered() {
    attempts_.clear();
    failedRounds_ = 0;
    answeredThisRound_ = true;
}

void PortSearchReport::RoundEnded() {
    if (!answeredThisRound_) ++failedRounds_;
    answeredThisRound_ = false;
}

void PortSearchReport::Record(const PortAttempt& attempt) {
    // In the order of the search: the USB devices, then COM1 to COM9.
    auto before = [](const PortAttempt& a, const PortAttempt& b) {
        return a.usb != b.usb ? a.usb : a.number < b.number;
    };
    auto it = std::lower_bound(attempts_.begin(), attempts_.end(), attempt, before);
    if (it != attempts_.end() && it->usb == attempt.usb && it->number == attempt.number)
        *it = attempt;
    else
        attempts_.insert(it, attempt);
}

// --- Texts ------------------------------------------------------------------------

QStringList PortTextDefaults() {
    return {
        QStringLiteral("No ECU answered. Ports tried:"),
        QStringLiteral("no device"),
        QStringLiteral("permission denied"),
        QStringLiteral("busy: another program is using it"),
        QStringLiteral("no answer from an ECU"),
        QStringLiteral("could not be opened"),
        QStringLiteral("can be opened"),
        QStringLiteral("Serial ports: your user may not use them. Add it to the %2 group "
                       "(sudo adduser %1 %2), then log out and in again."),
        QStringLiteral("Serial ports: your user %1 joined the %2 group after logging in. "
                       "Log out and in again."),
        QStringLiteral("USB cable: the udev rule 70-gascal-ftdi.rules of the gascal package lets "
                       "you use it. Install the package (or copy the rule to /etc/udev/rules.d), "
                       "then unplug the cable and plug it in again."),
        QStringLiteral("Close the other program that uses the port."),
        QStringLiteral("Check the cable, the ECU's supply and that the ignition key is on."),
        QStringLiteral("The search goes on. Choose a port in the Device menu, or OFFLINE to stop."),
        QStringLiteral("No ECU was found. Try the tool on the simulated ECU? It is not a car: "
                       "nothing reaches an ECU, and the next start looks for a real ECU again."),
    };
}

QString PortTextOf(const QStringList& texts, PortText which) {
    const int i = static_cast<int>(which);
    if (i < texts.size() && !texts[i].isEmpty()) return texts[i];
    static const QStringList defaults = PortTextDefaults();
    return i < defaults.size() ? defaults[i] : QString();
}

QString PortFaultText(const QStringList& texts, PortFault fault) {
    return PortTextOf(texts, static_cast<PortText>(static_cast<int>(PortText::NoDevice) +
                                                   static_cast<int>(fault)));
}

QString PortLabel(const PortAttempt& a) {
    if (a.usb)
        return a.number == 0 ? QStringLiteral("USB") : QStringLiteral("USB %1").arg(a.number + 1);
    QString label = QStringLiteral("COM%1").arg(a.number);
    if (!a.device.isEmpty()) label += QStringLiteral(" (") + a.device + QLatin1Char(')');
    return label;
}

QStringList PortLines(const std::vector<PortAttempt>& attempts, const QStringList& texts) {
    QStringList lines;
    for (const PortAttempt& a : attempts)
        lines << PortLabel(a) + QStringLiteral(": ") + PortFaultText(texts, a.fault);
    return lines;
}

QStringList PortFixLines(const std::vector<PortAttempt>& attempts, const QStringList& texts,
                         const AdviceLookup& advice) {
    QStringList fixes;
    auto add = [&](const QString& line) {
        if (!fixes.contains(line)) fixes << line;
    };
    for (const PortAttempt& a : attempts) {
        if (a.fault != PortFault::PermissionDenied) continue;
        if (a.usb) {
            add(PortTextOf(texts, PortText::FixUsbRule));
        } else {
            const AccessAdvice adv = advice(a.device);
            add(Fill(PortTextOf(texts, adv.reloginNeeded ? PortText::FixSerialRelogin
                                                         : PortText::FixSerialGroup),
                     adv));
        }
    }
    auto any = [&](PortFault f) {
        return std::any_of(attempts.begin(), attempts.end(),
                           [f](const PortAttempt& a) { return a.fault == f; });
    };
    if (any(PortFault::Busy)) add(PortTextOf(texts, PortText::FixBusy));
    if (any(PortFault::NoAnswer)) add(PortTextOf(texts, PortText::FixNoAnswer));
    return fixes;
}

QString PortSearchMessage(const std::vector<PortAttempt>& attempts, const QStringList& texts,
                          const AdviceLookup& advice) {
    QStringList out{PortTextOf(texts, PortText::Heading)};
    for (const QString& l : PortLines(attempts, texts)) out << QStringLiteral("  ") + l;
    const QStringList fixes = PortFixLines(attempts, texts, advice);
    if (!fixes.isEmpty()) {
        out << QString();
        out += fixes;
    }
    return out.join(QLatin1Char('\n'));
}

// --- This machine -----------------------------------------------------------------

AccessAdvice AdviceForDevice(const QString& device) {
    AccessAdvice a;
    a.user = qEnvironmentVariable("USER");
#ifdef Q_OS_UNIX
    const passwd* pw = getpwuid(geteuid());
    if (pw && pw->pw_name) a.user = QString::fromLocal8Bit(pw->pw_name);
    struct stat st {};
    gid_t gid = 0;
    bool known = false;
    if (!device.isEmpty() && stat(device.toLocal8Bit().constData(), &st) == 0 && st.st_gid != 0) {
        gid = st.st_gid;
        known = true;
    } else if (const group* g = getgrnam("dialout")) {
        gid = g->gr_gid;
        known = true;
    }
    if (known) {
        if (const group* g = getgrgid(gid); g && g->gr_name)
            a.group = QString::fromLocal8Bit(g->gr_name);
    }
    if (known && pw) {
        // In the group by the system's records, but not in this process's
        // groups: the user was added after logging in.
        int n = 64;
        std::unique_ptr<gid_t[]> list;
        for (int tries = 0; tries < 2; ++tries) {
            list = std::make_unique<gid_t[]>(static_cast<size_t>(n));
            if (getgrouplist(pw->pw_name, pw->pw_gid, list.get(), &n) >= 0) break;
            list.reset();
        }
        const bool member = list && std::find(list.get(), list.get() + n, gid) != list.get() + n;
        const int have = getgroups(0, nullptr);
        bool effective = getegid() == gid;
        if (have > 0) {
            auto mine = std::make_unique<gid_t[]>(static_cast<size_t>(have));
            const int got = getgroups(have, mine.get());
            effective = effective || (got > 0 && std::find(mine.get(), mine.get() + got, gid) !=
                                                     mine.get() + got);
        }
        a.reloginNeeded = member && !effective;
    }
#else
    Q_UNUSED(device);
#endif
    if (a.user.isEmpty()) a.user = QStringLiteral("$USER");
    return a;
}

// --- Listing ----------------------------------------------------------------------

std::vector<PortAttempt> ProbePorts(PortProvider& provider) {
    std::vector<PortAttempt> out;
    for (int n = 1; n <= kLastCom; ++n) {
        PortAttempt a;
        a.number = n;
        a.device = QString::fromStdString(provider.SerialDeviceName(n));
        if (!a.device.isEmpty()) {
            uint32_t st = PORT_OK;
            std::unique_ptr<Port> port = provider.OpenSerial(n, st);
            a.fault = port && st == PORT_OK ? PortFault::Opens : FaultOfStatus(st);
            if (port) port->Close();
        }
        out.push_back(a);
    }
    uint32_t count = 0;
    if (provider.UsbDeviceCount(count) != PORT_OK) count = 0;
    for (uint32_t i = 0; i < std::max<uint32_t>(count, 1); ++i) {
        PortAttempt a;
        a.usb = true;
        a.number = static_cast<int>(i);
        if (count > 0) {
            uint32_t st = PORT_OK;
            std::unique_ptr<Port> port = provider.OpenUsb(i, st);
            a.fault = port && st == PORT_OK ? PortFault::Opens : FaultOfStatus(st);
            if (port) port->Close();
        }
        out.push_back(a);
    }
    return out;
}

}  // namespace gascal
