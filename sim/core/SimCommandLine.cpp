#include "sim/core/SimCommandLine.h"

namespace gascal::sim {

namespace {
bool Digits(const QString& s, int n) {
    if (s.size() != n) return false;
    for (QChar c : s)
        if (!c.isDigit()) return false;
    return true;
}
}  // namespace

QString SimCommandLineHelp() {
    return QStringLiteral(
               "Usage: gascal-ecusim [options]\n"
               "Serves a simulated gas-injection ECU and its engine on a pseudo-terminal.\n"
               "The first line printed is the terminal's device path; open it at 38400 8N1.\n"
               "Stops cleanly on Ctrl+C (SIGINT) or SIGTERM.\n"
               "\n"
               "  --key on|off              ignition key (default off)\n"
               "  --engine on|off           engine started while the key is on (default on)\n"
               "  --rpm N                   engine speed asked for, 0 = idle (default 0)\n"
               "  --load X                  load 0..1 (default 0)\n"
               "  --warm                    start with a warm engine\n"
               "  --cylinders 4|6|8         engine cylinders (default 4)\n"
               "  --tank X                  tank level 0..1 (default 0.7)\n"
               "  --curve NAME              hidden injector curve: default, steep, flat, bent\n"
               "  --firmware-version VVVV   firmware version digits (default 0140)\n"
               "  --firmware-date DDMMYYYY  firmware date (default 15032025)\n"
               "  --serial N                serial number of the test data (default 468000123)\n"
               "  --old-firmware            firmware 01.00.32: no CMD_READ_FIRMWARE, short block "
               "5\n"
               "  --error N                 error item N (0..31) present; may be repeated\n"
               "  --fail LIST               failure modes, e.g. corrupt=0.05,lose=0.02,late=0.1\n"
               "                            names: %1\n"
               "  --seed N                  seed of the failure draws (default 1)\n"
               "  --processing-us N         answer delay after a request (default 1500)\n"
               "  --install-dir DIR         installation folder (accepted, not needed)\n"
               "  --verbose                 one line on standard error per request\n"
               "  --drive                   drive the load sweep on petrol, then on gas, so both\n"
               "                            fuels' operating points fill (key on, engine running,\n"
               "                            warm; progress on standard error); after the drive\n"
               "                            and after every table write the gas supplied minus\n"
               "                            the gas needed at the mapped petrol times is printed\n"
               "  --help                    this text\n")
        .arg(FailureSettingNames());
}

bool ParseSimCommandLine(const QStringList& args, SimCommandLine& out, QString* error) {
    SimCommandLine r = out;
    auto fail = [error](const QString& msg) {
        if (error) *error = msg;
        return false;
    };
    for (int i = 0; i < args.size(); ++i) {
        const QString opt = args[i];
        auto value = [&](QString& v) {
            if (i + 1 >= args.size()) return false;
            v = args[++i];
            return true;
        };
        QString v;
        bool ok = false;
        if (opt == QLatin1String("--help") || opt == QLatin1String("-h")) {
            r.help = true;
        } else if (opt == QLatin1String("--drive")) {
            r.drive = true;
        } else if (opt == QLatin1String("--warm")) {
            r.options.warm = true;
        } else if (opt == QLatin1String("--old-firmware")) {
            r.options.oldFirmware = true;
        } else if (opt == QLatin1String("--verbose")) {
            r.verbose = true;
        } else if (opt == QLatin1String("--key") || opt == QLatin1String("--engine")) {
            if (!value(v) || (v != QLatin1String("on") && v != QLatin1String("off")))
                return fail(QStringLiteral("%1 needs on or off").arg(opt));
            if (opt == QLatin1String("--key")) {
                r.options.key = v == QLatin1String("on");
            } else {
                r.options.engineRunning = v == QLatin1String("on");
                r.engineSet = true;
            }
        } else if (opt == QLatin1String("--rpm")) {
            if (!value(v)) return fail(QStringLiteral("--rpm needs a number"));
            r.options.rpm = v.toDouble(&ok);
            if (!ok || r.options.rpm < 0 || r.options.rpm > 9000)
                return fail(QStringLiteral("--rpm: \"%1\" is not a speed from 0 to 9000").arg(v));
        } else if (opt == QLatin1String("--load") || opt == QLatin1String("--tank")) {
            if (!value(v)) return fail(QStringLiteral("%1 needs a number").arg(opt));
            const double x = v.toDouble(&ok);
            if (!ok || x < 0 || x > 1)
                return fail(QStringLiteral("%1: \"%2\" is not a number from 0 to 1").arg(opt, v));
            (opt == QLatin1String("--load") ? r.options.load : r.options.tankLevel) = x;
        } else if (opt == QLatin1String("--curve")) {
            const InjectorCurve* curve =
                value(v) ? NamedInjectorCurve(v.toLatin1().constData()) : nullptr;
            if (!curve)
                return fail(
                    QStringLiteral("--curve: \"%1\" is not default, steep, flat or bent").arg(v));
            r.options.curve = *curve;
        } else if (opt == QLatin1String("--cylinders")) {
            if (!value(v)) return fail(QStringLiteral("--cylinders needs 4, 6 or 8"));
            const int n = v.toInt(&ok);
            if (!ok || (n != 4 && n != 6 && n != 8))
                return fail(QStringLiteral("--cylinders: \"%1\" is not 4, 6 or 8").arg(v));
            r.options.cylinders = n;
        } else if (opt == QLatin1String("--firmware-version")) {
            if (!value(v) || !Digits(v, 4))
                return fail(QStringLiteral("--firmware-version needs four digits, e.g. 0140"));
            r.options.firmwareVersion = v;
        } else if (opt == QLatin1String("--firmware-date")) {
            if (!value(v) || !Digits(v, 8))
                return fail(QStringLiteral("--firmware-date needs DDMMYYYY, e.g. 15032025"));
            r.options.firmwareDate = v;
        } else if (opt == QLatin1String("--serial")) {
            if (!value(v)) return fail(QStringLiteral("--serial needs a number"));
            const qulonglong n = v.toULongLong(&ok);
            if (!ok || n == 0 || n > 0xFFFFFFFEull)
                return fail(
                    QStringLiteral("--serial: \"%1\" is not a serial number from 1 to 4294967294")
                        .arg(v));
            r.options.serial = static_cast<uint32_t>(n);
        } else if (opt == QLatin1String("--error")) {
            if (!value(v)) return fail(QStringLiteral("--error needs an item number"));
            const int n = v.toInt(&ok);
            if (!ok || n < 0 || n >= static_cast<int>(kErrorItems))
                return fail(QStringLiteral("--error: \"%1\" is not an item from 0 to 31").arg(v));
            r.options.errorItems.push_back(n);
        } else if (opt == QLatin1String("--fail")) {
            if (!value(v)) return fail(QStringLiteral("--fail needs a list such as corrupt=0.05"));
            QString why;
            if (!ParseFailureSettings(v, r.options.failures, &why))
                return fail(QStringLiteral("--fail: %1").arg(why));
        } else if (opt == QLatin1String("--seed")) {
            if (!value(v)) return fail(QStringLiteral("--seed needs a number"));
            r.options.seed = v.toULongLong(&ok);
            if (!ok) return fail(QStringLiteral("--seed: \"%1\" is not a number").arg(v));
        } else if (opt == QLatin1String("--processing-us")) {
            if (!value(v)) return fail(QStringLiteral("--processing-us needs a number"));
            r.options.processingUs = v.toDouble(&ok);
            if (!ok || r.options.processingUs < 0 || r.options.processingUs > 1e6)
                return fail(QStringLiteral("--processing-us: \"%1\" is not 0 to 1000000").arg(v));
        } else if (opt == QLatin1String("--install-dir")) {
            if (!value(v)) return fail(QStringLiteral("--install-dir needs a folder"));
            r.installDir = v;
        } else {
            return fail(QStringLiteral("unknown option \"%1\" (see --help)").arg(opt));
        }
    }
    // A drive needs a warm car with its engine running.
    if (r.drive) r.options.key = r.options.engineRunning = r.options.warm = true;
    // With the key on the engine is started unless told otherwise.
    if (r.options.key && !r.engineSet) r.options.engineRunning = true;
    out = r;
    return true;
}

}  // namespace gascal::sim
