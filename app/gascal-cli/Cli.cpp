#include "app/gascal-cli/Cli.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <cmath>
#include <map>
#include <set>

#include "app/gascal-cli/CliFields.h"
#include "common/EventService.h"
#include "common/Helpers.h"
#include "data/core/ClsLingue.h"
#include "data/core/DataTexts.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "data/core/ScaleConfig.h"
#include "data/errors/EcuErrors.h"
#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "link/core/MachinePorts.h"
#include "link/firmware/FlashImage.h"
#include "link/firmware/FlashTable.h"
#include "mainwindow/controller/Captions.h"
#include "mainwindow/controller/ConfigLoad.h"
#include "mainwindow/controller/EcuRequests.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimPort.h"
#include "viewer/commlog/CommLogWriter.h"

namespace gascal {

namespace {

constexpr double kDefaultTimeoutS = 30;
constexpr int kWindowAttempts = 3;  // window-level procedures try each request 3 times
const char* const kSetComPath = "\\BIN\\SetCom.ini";

struct CliOptions {
    QString installDir;
    QString port;
    bool sim = false;
    double timeoutS = kDefaultTimeoutS;
    int lang = -1;
    bool help = false;
    bool listPorts = false;
    QString command;
    QStringList args;
};

class UsageError {
public:
    explicit UsageError(QString m) : message(std::move(m)) {}
    QString message;
};

CliOptions ParseOptions(const QStringList& args) {
    CliOptions o;
    int i = 0;
    auto value = [&](const QString& opt) {
        if (i + 1 >= args.size()) throw UsageError(opt + QStringLiteral(" needs a value"));
        return args[++i];
    };
    for (; i < args.size(); ++i) {
        const QString& a = args[i];
        if (!o.command.isEmpty()) {
            o.args << a;
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            o.help = true;
        } else if (a == QLatin1String("--install-dir")) {
            o.installDir = value(a);
        } else if (a == QLatin1String("--port")) {
            o.port = value(a);
        } else if (a == QLatin1String("--sim")) {
            o.sim = true;
        } else if (a == QLatin1String("--list-ports")) {
            o.listPorts = true;
        } else if (a == QLatin1String("--timeout")) {
            const auto v = ParseCliNumber(value(a));
            if (!v || *v <= 0) throw UsageError(QStringLiteral("--timeout needs a positive number of seconds"));
            o.timeoutS = *v;
        } else if (a == QLatin1String("--lang")) {
            bool ok = false;
            o.lang = value(a).toInt(&ok);
            if (!ok || o.lang < 0) throw UsageError(QStringLiteral("--lang needs a language number (0, 1, ...)"));
        } else if (a.startsWith(QLatin1String("--"))) {
            throw UsageError(QStringLiteral("unknown option ") + a);
        } else {
            o.command = a;
        }
    }
    return o;
}

// A command's own flags: removes `flag` from args, true when present.
bool TakeFlag(QStringList& args, const QString& flag) { return args.removeAll(flag) > 0; }

int TakeIntOption(QStringList& args, const QString& opt, int def) {
    const int i = args.indexOf(opt);
    if (i < 0) return def;
    if (i + 1 >= args.size()) throw UsageError(opt + QStringLiteral(" needs a value"));
    bool ok = false;
    const int v = args[i + 1].toInt(&ok);
    if (!ok || v <= 0) throw UsageError(opt + QStringLiteral(" needs a positive number"));
    args.removeAt(i + 1);
    args.removeAt(i);
    return v;
}

void NoMoreArgs(const QStringList& args, const QString& command) {
    if (!args.isEmpty())
        throw UsageError(QStringLiteral("%1: unexpected argument %2").arg(command, args.first()));
}

// One `set` item checked against the field table.
struct SetItem {
    const CliField* field;
    double value;
};

// Everything a command needs once the ECU answers.
class CliSession {
public:
    CliSession(const CliOptions& o, QTextStream& out, QTextStream& err, const CliEnvironment& env)
        : o_(o), out_(out), err_(err), env_(env) {}
    ~CliSession();

    int Run();

private:
    void StartUp();
    int Connect();
    int CheckCompatibility();
    QString Lookup(int entry) const;
    QString PortDescription() const;
    void PrintIdentity();

    bool Try(const std::function<bool()>& request);
    bool ReadBlock(int n) { return Try([&] { return requests_->ReadBlock(n); }); }
    bool HasBlock5() const { return comm_.FirmwareEcuVersNum() > kFirmwareWithBlock5; }
    bool ReadSettings();
    bool SwitchRpmFits();

    int CmdIdentify();
    int CmdLive(QStringList args);
    int CmdGet(QStringList args);
    int CmdSet(QStringList args);
    int CmdSaveParams(QStringList args);
    int CmdLoadParams(QStringList args);
    int CmdReadTable(QStringList args);
    int CmdErrors(QStringList args);
    int CmdClearErrors(QStringList args);

    void PrintField(const CliField& f);
    std::vector<SetItem> ParseSetItems(const QStringList& args);

    const CliOptions& o_;
    QTextStream& out_;
    QTextStream& err_;
    const CliEnvironment& env_;

    ScaleConfig scale_;
    ClsLingue lingue_;
    ClsComm comm_;
    ParamImage image_;
    FlashTable flashTable_;
    FlashImage flashImage_;
    CommLogWriter log_;
    std::shared_ptr<sim::SimEcu> simEcu_;
    std::unique_ptr<sim::SimUsbProvider> simProvider_;
    std::unique_ptr<ChainedPortProvider> provider_;
    std::unique_ptr<EcuRequests> requests_;
    std::unique_ptr<Timer> timer1_;
    int language_ = 0;
    std::vector<CliField> fields_;  // built once the scale factors are known
};

CliSession::~CliSession() {
    comm_.SetLinkTimer(nullptr);  // [link timer]
    if (timer1_) timer1_->SetEnabled(false);
    timer1_.reset();
    requests_.reset();
    comm_.SetAnswerSink(nullptr);
    comm_.CloseComPort();
    log_.Stop();
    SetDataDictionary(nullptr);
    SetCommLog(nullptr);
}

QString CliSession::Lookup(int entry) const { return lingue_.VoceDizionario(language_, entry); }

void CliSession::StartUp() {
    scale_.Load(SystemPath(QStringLiteral("\\LNG\\ConfigScale.ini")));
    lingue_.SetPathDizionario(SystemPath(QStringLiteral("\\LNG\\M3.diz")));
    lingue_.SetPathAttualeLingua(SystemPath(QStringLiteral("\\LNG\\M3.con")));
    lingue_.LoadDizionario();
    language_ = o_.lang >= 0 ? o_.lang : std::max(0, lingue_.IdLingua());
    if (language_ > lingue_.UboundLingue() && lingue_.UboundLingue() >= 0) {
        err_ << "Language " << language_ << " is not in the dictionary; using language 0.\n";
        language_ = 0;
    }
    SetDataDictionary(&lingue_);
    image_.ApplyScale(scale_);
    fields_ = CliFieldTable(image_);
    const QString title = Caption(Cap::Title, [this](int id) { return Lookup(id); });
    SetAppTitle(title);

    // Every exchange goes to the communication log, as in the window.
    log_.Install();
    log_.StartLogRxTx(title);

    if (o_.sim) {
        simEcu_ = env_.simEcu;
        if (!simEcu_) {
            sim::SimOptions so;
            so.key = true;
            so.engineRunning = true;
            so.warm = true;
            simEcu_ = std::make_shared<sim::SimEcu>(so);
        }
        simProvider_ = std::make_unique<sim::SimUsbProvider>(simEcu_);
    }
    provider_ = MakeMachinePortProvider(simProvider_.get());
    comm_.SetPortProvider(provider_.get());
    comm_.SetFirmwareFileReader([this](QString& identity, QString* error) {
        return ReadFirmwareFileIdentity(flashTable_, flashImage_, identity, error);
    });
    comm_.ReadSetCom(QString::fromLatin1(kSetComPath));

    // An explicit port (or the simulator) is used for this run only: no
    // search, and the settings file is left as it is.
    if (!o_.port.isEmpty()) {
        const QString p = o_.port.trimmed();
        if (p.compare(QLatin1String("USB"), Qt::CaseInsensitive) == 0) {
            comm_.SetUsbCom(1);
        } else if (p.size() == 4 && p.startsWith(QLatin1String("COM"), Qt::CaseInsensitive) &&
                   p[3] >= QLatin1Char('1') && p[3] <= QLatin1Char('9')) {
            comm_.SetUsbCom(0);
            comm_.SetComPort(p[3].digitValue());
        } else {
            // A device path stands for the configured serial port (COM1 when
            // the settings name none).
            comm_.SetUsbCom(0);
            int com = comm_.ComPort();
            if (com < 1 || com > 9) com = 1;
            SetSerialOverride(p, com);
            comm_.SetComPort(com);
        }
        comm_.SetFlagRicercaCom(SEARCH_OFF);
        comm_.SetMemoDatiCom(false);
    } else if (o_.sim) {
        comm_.SetUsbCom(1);
        comm_.SetUsbDeviceIndex(0);
        comm_.SetFlagRicercaCom(SEARCH_OFF);
        comm_.SetMemoDatiCom(false);
    }
    requests_ = std::make_unique<EcuRequests>(comm_, image_);
    requests_->Requests().SetCorDumpPath(SystemPath(QStringLiteral("\\TEMPI4.TXT")));
    // [link timer] Timer1 sleeps until the link has work due; the link wakes
    // it on port data and link changes.
    timer1_ = std::make_unique<Timer>("Timer1", 1, [this] {
        comm_.SupervisionStep();
        comm_.SleepLinkTimer();
    });
    comm_.SetLinkTimer(timer1_.get());
    timer1_->SetEnabled(true);
}

QString CliSession::PortDescription() const {
    if (comm_.UsbCom() == 1) {
        QString d = QStringLiteral("USB %1").arg(comm_.UsbDeviceIndex());
        if (o_.sim && comm_.UsbDeviceIndex() == 0) d += QStringLiteral(" (simulated ECU)");
        return d;
    }
    QString d = comm_.ComPortNome();
    const QString dev = SerialDevicePath(comm_.ComPort());
    if (!dev.isEmpty()) d += QStringLiteral(" (") + dev + QLatin1Char(')');
    return d;
}

int CliSession::Connect() {
    err_ << "Looking for the ECU...\n";
    err_.flush();
    const double deadline = MicroSeconds() + o_.timeoutS * 1e6;
    QString lastSearch;
    while (MicroSeconds() < deadline) {
        if (comm_.FlagRicercaCom() != SEARCH_OFF) {
            const QString s = comm_.FlagRicercaCom() == 0
                                  ? QStringLiteral("USB")
                                  : QStringLiteral("COM %1").arg(comm_.FlagRicercaCom());
            if (s != lastSearch) {
                err_ << "SEARCH COMUNICATION PORT: " << s << "\n";
                err_.flush();
                lastSearch = s;
            }
        }
        if (comm_.ComState() == COM_IDLE && !comm_.LastKeepAliveAnswer().isEmpty() &&
            !comm_.WDogPresente()) {
            if (comm_.ReadFirmwareIdentity()) return CLI_OK;
            // The ECU answered but the firmware file cannot be read.
            if (!comm_.FirmwareEcu().isEmpty()) return CLI_OK;
        }
        WaitMicroSeconds(20000);
    }
    err_ << "No ECU answered within " << o_.timeoutS << " s.\n";
    return CLI_LINK;
}

void CliSession::PrintIdentity() {
    out_ << "Port: " << PortDescription() << "\n";
    out_ << "FirmwareEcu: " << comm_.FirmwareEcu() << "\n";
    out_ << "FirmwareEcuVersStr: " << comm_.FirmwareEcuVersStr() << "\n";
    out_ << "FirmwareEcuDataStr: " << comm_.FirmwareEcuDataStr() << "\n";
    out_ << "DescProgettoEcu_KTXXX: " << comm_.DescProgettoEcu_KTXXX() << "\n";
    out_ << "DescProgettoEcu_CLIENTE: " << comm_.DescProgettoEcu_CLIENTE() << "\n";
    out_ << "DescProgettoEcu_CODICE: " << comm_.DescProgettoEcu_CODICE() << "\n";
    out_ << "FirmwareFle: " << comm_.FirmwareFle() << "\n";
    out_ << "FirmwareFleVersStr: " << comm_.FirmwareFleVersStr() << "\n";
    out_ << "FirmwareFleDataStr: " << comm_.FirmwareFleDataStr() << "\n";
    out_ << "DescProgettoFle_KTXXX: " << comm_.DescProgettoFle_KTXXX() << "\n";
    out_ << "DescProgettoFle_CLIENTE: " << comm_.DescProgettoFle_CLIENTE() << "\n";
    out_ << "DescProgettoFle_CODICE: " << comm_.DescProgettoFle_CODICE() << "\n";
}

int CliSession::CheckCompatibility() {
    auto describe = [&](const QString& who, const QString& vers, const QString& date,
                        const QString& customer, const QString& code) {
        err_ << "  " << who << ": version " << vers << ", date " << date << ", customer "
             << customer << ", project " << code << "\n";
    };
    auto both = [&] {
        describe(QStringLiteral("ECU"), comm_.FirmwareEcuVersStr(), comm_.FirmwareEcuDataStr(),
                 comm_.DescProgettoEcu_CLIENTE(), comm_.DescProgettoEcu_CODICE());
        describe(QStringLiteral("Firmware file"), comm_.FirmwareFleVersStr(),
                 comm_.FirmwareFleDataStr(), comm_.DescProgettoFle_CLIENTE(),
                 comm_.DescProgettoFle_CODICE());
    };
    const QString fwPath = FirmwareFilePath();
    if (!FileExists(fwPath) || comm_.FirmwareFle().isEmpty()) {
        // The window's own text: the file's path and, for a damaged file,
        // the line that is wrong.
        err_ << FirmwareFileMessage([this](int id) { return Lookup(id); }, fwPath,
                                    FileExists(fwPath) ? comm_.FirmwareFileError() : QString())
             << "\n";
        both();
        return CLI_FILE;
    }
    const QString fileCode = comm_.DescProgettoFle_CODICE().toUpper();
    if (!fileCode.isEmpty() && comm_.DescProgettoEcu_CODICE().toUpper() != fileCode) {
        err_ << "This ECU's project does not match the firmware file: it is not served by this "
                "installation.\n";
        both();
        return CLI_INCOMPATIBLE;
    }
    const int ev = comm_.FirmwareEcuVersNum(), fv = comm_.FirmwareFleVersNum();
    if (ev > fv) {
        err_ << "The ECU's firmware is newer than this installation's firmware file:\n";
        both();
        return CLI_INCOMPATIBLE;
    }
    auto dateKey = [](int y, int m, int d) { return y * 10000 + m * 100 + d; };
    if (ev < fv) {
        err_ << "The ECU's firmware is older than the firmware file: an upgrade is offered "
                "(use the window's firmware upgrade).\n";
        both();
    } else if (dateKey(comm_.FirmwareFleYearNum(), comm_.FirmwareFleMonthNum(),
                       comm_.FirmwareFleDayNum()) >
               dateKey(comm_.FirmwareEcuYearNum(), comm_.FirmwareEcuMonthNum(),
                       comm_.FirmwareEcuDayNum())) {
        err_ << "The firmware file is more recent than the ECU's firmware: an upgrade is "
                "offered (use the window's firmware upgrade).\n";
        both();
    }
    // The port found by a search is remembered for the next start.
    if (comm_.FlagRicercaCom() != SEARCH_OFF) comm_.StopSearchAndRemember();
    // Whether the petrol times of block 1 get the injection offset added back
    // depends on the firmware's date, as in the window.
    image_.PetrolControlEnabled = CheckPetrolControlFirmware(
        scale_.ControlPetrolFirmware, comm_.FirmwareEcuVersNum(), comm_.FirmwareEcuYearNum(),
        comm_.FirmwareEcuMonthNum(), comm_.FirmwareEcuDayNum());
    return CLI_OK;
}

bool CliSession::Try(const std::function<bool()>& request) {
    for (int attempt = 0; attempt < kWindowAttempts; ++attempt) {
        if (request()) return true;
        if (comm_.ComState() == COM_STOP) return false;
        // After a link error the supervision reopens the port; wait for it.
        const double until = MicroSeconds() + comm_.AttesaGlobaleDefault_usec() + 2e6;
        while (comm_.ComState() != COM_IDLE && MicroSeconds() < until) WaitMicroSeconds(10000);
    }
    return false;
}

bool CliSession::ReadSettings() {
    if (!ReadBlock(2) || !ReadBlock(3)) return false;
    if (HasBlock5() && !ReadBlock(5)) return false;
    return true;
}

int CliSession::Run() {
    StartUp();
    // Names and values are checked before the ECU is even looked for, so a
    // typing mistake sends nothing at all.
    if (o_.command == QLatin1String("set")) {
        QStringList a = o_.args;
        TakeFlag(a, QStringLiteral("--save"));
        ParseSetItems(a);
    } else if (o_.command == QLatin1String("get")) {
        for (const QString& a : o_.args)
            if (!FindCliField(fields_, a)) throw UsageError(QStringLiteral("unknown field ") + a);
    }
    int rc = Connect();
    if (rc != CLI_OK) return rc;
    rc = CheckCompatibility();
    if (rc != CLI_OK) return rc;
    err_ << "ECU found on " << PortDescription() << ", firmware " << comm_.FirmwareEcuVersStr()
         << " " << comm_.FirmwareEcuDataStr() << "\n";
    err_.flush();
    QStringList args = o_.args;
    const QString& c = o_.command;
    if (c == QLatin1String("identify")) return NoMoreArgs(args, c), CmdIdentify();
    if (c == QLatin1String("live")) return CmdLive(args);
    if (c == QLatin1String("get")) return CmdGet(args);
    if (c == QLatin1String("set")) return CmdSet(args);
    if (c == QLatin1String("save-params")) return CmdSaveParams(args);
    if (c == QLatin1String("load-params")) return CmdLoadParams(args);
    if (c == QLatin1String("read-table")) return CmdReadTable(args);
    if (c == QLatin1String("errors")) return CmdErrors(args);
    if (c == QLatin1String("clear-errors")) return CmdClearErrors(args);
    throw UsageError(QStringLiteral("unknown command ") + c);
}

// --- Commands -------------------------------------------------------------------

int CliSession::CmdIdentify() {
    PrintIdentity();
    return CLI_OK;
}

int CliSession::CmdLive(QStringList args) {
    const bool csv = TakeFlag(args, QStringLiteral("--csv"));
    const int count = TakeIntOption(args, QStringLiteral("--count"), 10);
    NoMoreArgs(args, QStringLiteral("live"));
    // The engine speed needs the coil and cylinder counts of block 3.
    if (!ReadBlock(3)) {
        err_ << "Block 3 could not be read.\n";
        return CLI_LINK;
    }
    const QStringList names = Mem1FieldNames();
    if (csv) out_ << names.join(QLatin1Char(',')) << "\n";
    for (int n = 0; n < count; ++n) {
        if (!ReadBlock(1)) {
            err_ << "Block 1 could not be read.\n";
            return CLI_LINK;
        }
        const std::vector<double> values = Mem1FieldValues(image_.Mem1Block);
        QStringList cells;
        for (size_t k = 0; k < values.size(); ++k) {
            const QString v = FormatCliNumber(values[k], 3);
            cells << (csv ? v : names[static_cast<int>(k)] + QLatin1Char('=') + v);
        }
        out_ << cells.join(csv ? QLatin1Char(',') : QLatin1Char(' ')) << "\n";
        out_.flush();
    }
    return CLI_OK;
}

void CliSession::PrintField(const CliField& f) {
    out_ << f.name << "=" << FormatCliNumber(f.get(image_), f.decimals) << "\n";
}

int CliSession::CmdGet(QStringList args) {
    // A block-5 field asked for by name on a firmware without block 5 is not
    // silently left out: the script asking for it is told, and nothing is read.
    if (!HasBlock5()) {
        for (const QString& a : args) {
            const CliField* f = FindCliField(fields_, a);
            if (f && f->block == 5) {
                err_ << "This ECU's firmware (" << comm_.FirmwareEcuVersStr()
                     << ") has no block 5: " << f->name << " cannot be read.\n";
                return CLI_USAGE;
            }
        }
    }
    if (!ReadSettings()) {
        err_ << "The ECU's settings could not be read.\n";
        return CLI_LINK;
    }
    for (const CliField& f : fields_) {
        if (f.block == 5 && !HasBlock5()) continue;
        if (!args.isEmpty()) {
            bool wanted = false;
            for (const QString& a : args) wanted |= a.compare(f.name, Qt::CaseInsensitive) == 0;
            if (!wanted) continue;
        }
        PrintField(f);
    }
    return CLI_OK;
}

std::vector<SetItem> CliSession::ParseSetItems(const QStringList& args) {
    std::vector<SetItem> items;
    if (args.isEmpty()) throw UsageError(QStringLiteral("set needs FIELD=VALUE items"));
    for (const QString& a : args) {
        const int eq = a.indexOf(QLatin1Char('='));
        if (eq <= 0) throw UsageError(QStringLiteral("set: expected FIELD=VALUE, got ") + a);
        const QString name = a.left(eq).trimmed();
        const CliField* f = FindCliField(fields_, name);
        if (!f) throw UsageError(QStringLiteral("unknown field ") + name);
        if (!f->writable) throw UsageError(name + QStringLiteral(" is reported by the ECU and cannot be set"));
        const auto v = ParseCliNumber(a.mid(eq + 1));
        if (!v) throw UsageError(QStringLiteral("%1: \"%2\" is not a number").arg(name, a.mid(eq + 1)));
        if (*v < f->min - 1e-9 || *v > f->max + 1e-9)
            throw UsageError(QStringLiteral("%1=%2 is out of range (%3 to %4)")
                                 .arg(name, a.mid(eq + 1), FormatCliNumber(f->min, f->decimals),
                                      FormatCliNumber(f->max, f->decimals)));
        if (f->decimals == 0 && std::fabs(*v - std::round(*v)) > 1e-9)
            throw UsageError(name + QStringLiteral(" takes whole numbers"));
        items.push_back({f, *v});
    }
    return items;
}

bool CliSession::SwitchRpmFits() {
    // The switchover speed travels as a revolution period of the coil and
    // cylinder counts being written. A speed too low for the 16-bit period
    // would reach the ECU as FFFF, "no speed condition", so it is refused
    // here, with the ECU's own counts known, before block 3 is written.
    const Mem3Fields& m = image_.Mem3Block;
    const Mem3Fields& p = image_.PendingEdits.Mem3Block;
    const int coils = p.NumCoils >= 0 ? p.NumCoils : m.NumCoils;
    const int cylinders = p.NumCylinders >= 0 ? p.NumCylinders : m.NumCylinders;
    const double rpm = p.SwitchRpm > kPendingReal ? p.SwitchRpm : m.SwitchRpm;
    const double constant = ParamImage::RpmConstantFor(coils, cylinders);
    // A period that rounds to FFFF is the "no speed" value as well.
    constexpr double kLargestPeriod = kNoRpmPeriod - 0.5;
    if (!(rpm > 0) || constant / rpm <= kLargestPeriod) return true;
    const double lowest = std::ceil(constant / kLargestPeriod);
    err_ << "SwitchRpm " << FormatCliNumber(rpm, 0) << " cannot be sent with " << coils
         << " coils on " << cylinders << " cylinders: the lowest switchover speed is "
         << FormatCliNumber(lowest, 0) << " rpm. Nothing was changed.\n";
    return false;
}

int CliSession::CmdSet(QStringList args) {
    const bool save = TakeFlag(args, QStringLiteral("--save"));
    // Everything is checked before anything is sent.
    const std::vector<SetItem> items = ParseSetItems(args);
    std::set<int> blocks;
    for (const SetItem& it : items) blocks.insert(it.field->block);
    if (blocks.count(5) && !HasBlock5()) {
        err_ << "This ECU's firmware (" << comm_.FirmwareEcuVersStr()
             << ") has no writable block 5; nothing was changed.\n";
        return CLI_USAGE;
    }
    image_.ResetPendingEdits();
    for (const SetItem& it : items) it.field->pend(image_, it.value);
    for (int block : {3, 2, 5}) {
        if (!blocks.count(block)) continue;
        // A block is always read fresh immediately before it is written.
        if (!ReadBlock(block)) {
            err_ << "Block " << block << " could not be read; it was not written.\n";
            image_.ResetPendingEdits();
            return CLI_LINK;
        }
        if (block == 3 && !SwitchRpmFits()) {
            image_.ResetPendingEdits();
            return CLI_USAGE;
        }
        if (!Try([&] { return requests_->WriteBlock(block); })) {
            err_ << "Block " << block << " could not be written.\n";
            image_.ResetPendingEdits();
            return CLI_LINK;
        }
        if (!ReadBlock(block)) {
            err_ << "Block " << block << " was written but could not be read back.\n";
            image_.ResetPendingEdits();
            return CLI_LINK;
        }
    }
    image_.ResetPendingEdits();
    for (const SetItem& it : items) PrintField(*it.field);
    if (save) {
        if (!Try([&] { return requests_->SaveFlash(); })) {
            err_ << "The ECU did not confirm the save to flash.\n";
            return CLI_LINK;
        }
        err_ << "Saved to the ECU's flash.\n";
    }
    return CLI_OK;
}

int CliSession::CmdSaveParams(QStringList args) {
    if (args.size() != 1) throw UsageError(QStringLiteral("save-params needs one FILE"));
    const QString path = args.first();
    if (!ReadSettings() || !Try([&] { return requests_->ReadCorTable(); })) {
        err_ << "The ECU's settings could not be read; no file was written.\n";
        return CLI_LINK;
    }
    image_.CorTable = image_.CorTableEcu;
    if (!SaveParamFile(path, image_, comm_.FirmwareEcuVersNum(),
                       Caption(Cap::Title, [this](int id) { return Lookup(id); }))) {
        err_ << "The parameter file could not be written: " << path << "\n";
        return CLI_FILE;
    }
    err_ << "Parameters saved to " << path << "\n";
    return CLI_OK;
}

int CliSession::CmdLoadParams(QStringList args) {
    if (args.size() != 1) throw UsageError(QStringLiteral("load-params needs one FILE"));
    const QString path = args.first();
    if (!FileExists(path)) {
        err_ << "The parameter file cannot be read: " << path << "\n";
        return CLI_FILE;
    }
    ParamLoadOptions opts;
    opts.defaultSetPath = SystemPath(QStringLiteral("\\LNG\\Default.Xar"));
    opts.sl6Cil = scale_.SL_6Cil;
    opts.sl8Cil = scale_.SL_8Cil;
    opts.reportBadLines = false;
    {
        // A dry run on a copy of the image: a file with lines that cannot be
        // read is refused before anything reaches the ECU, so a production
        // line never programs half a configuration.
        ParamImage trial = image_;
        trial.SetHost(nullptr);
        ParamLoadReport check;
        LoadParamFile(path, trial, nullptr, opts, &check);
        if (!check.fileFound) {
            err_ << "The parameter file cannot be read: " << path << "\n";
            return CLI_FILE;
        }
        if (!check.badLines.isEmpty()) {
            for (const QString& l : check.badLines) err_ << "Parameter file: " << l << "\n";
            err_ << "The parameter file is damaged; nothing was sent to the ECU.\n";
            return CLI_FILE;
        }
    }
    // The image starts from the ECU's own blocks and table, as in the window,
    // so whatever the file does not hold is written back unchanged.
    if (!ReadSettings() || !ReadBlock(kBlockTestData) ||
        !Try([&] { return requests_->ReadCorTable(); })) {
        err_ << "The ECU's settings could not be read; nothing was loaded.\n";
        return CLI_LINK;
    }
    image_.CorTable = image_.CorTableEcu;
    ConfigLoad load(comm_, image_, *requests_);
    ParamLoadReport report;
    const ConfigLoad::Result r = load.Attempt(path, opts, &report);
    const bool switched = load.FuelToggled() || r.fuelReturned;
    if (switched) err_ << "The ECU runs on gas: switched to petrol while loading.\n";
    for (const QString& l : report.badLines) err_ << "Parameter file: " << l << "\n";
    if (r.fuelNotSwitched)
        err_ << "The ECU could not be switched to petrol; nothing was loaded.\n";
    else if (!report.fileFound)
        err_ << "The parameter file cannot be read: " << path << "\n";
    else if (!r.ok)
        err_ << "The configuration could not be written to the ECU completely.\n";
    // Whatever happened, a car switched for the load goes back to gas, and
    // to running on its own when it did, as it was found.
    if (load.FuelToggled() && !load.ReturnFuel())
        err_ << "The ECU could not be switched back to gas: it is in slave mode on petrol.\n";
    else if (switched)
        err_ << "Switched back to gas.\n";
    if (r.fuelNotSwitched) return CLI_LINK;
    if (!report.fileFound) return CLI_FILE;
    if (!r.ok) return CLI_LINK;
    err_ << "Parameters loaded from " << path << " and saved to the ECU's flash.\n";
    return report.badLines.isEmpty() ? CLI_OK : CLI_FILE;
}

int CliSession::CmdReadTable(QStringList args) {
    const bool csv = TakeFlag(args, QStringLiteral("--csv"));
    NoMoreArgs(args, QStringLiteral("read-table"));
    if (!Try([&] { return requests_->ReadCorTable(); })) {
        err_ << "The correction table could not be read.\n";
        return CLI_LINK;
    }
    if (csv) out_ << "Index,PetrolTimeMs,CorrectionMs\n";
    for (int k = 0; k < kCorTimeEntries; ++k) {
        const double petrol = k * 0.128;
        const double cor = image_.CorTableEcu[k];
        if (csv)
            out_ << k << "," << FormatCliNumber(petrol, 3) << "," << FormatCliNumber(cor, 3) << "\n";
        else
            out_ << QStringLiteral("%1  %2 ms  %3 ms\n")
                        .arg(k, 3)
                        .arg(FormatCliNumber(petrol, 3), 7)
                        .arg(FormatCliNumber(cor, 3), 7);
    }
    return CLI_OK;
}

int CliSession::CmdErrors(QStringList args) {
    NoMoreArgs(args, QStringLiteral("errors"));
    if (!Try([&] { return requests_->SendAndWait(CMD_READ_ERR, {}); })) {
        err_ << "The error list could not be read.\n";
        return CLI_LINK;
    }
    EcuErrorDefinitions defs;
    defs.Load(lingue_, language_);
    int shown = 0;
    for (int k = 0; k < kErrorItems; ++k) {
        const int present = comm_.ErrInj(k), stored = comm_.ErrInj(k + kErrorItems);
        QString name = defs.ItemName(k);
        if (name.isEmpty()) {
            const auto quiet = [](int v) { return v == 0 || v == 255; };
            if (quiet(present) && quiet(stored)) continue;
            name = QStringLiteral("Error item %1").arg(k);
        }
        auto state = [&](int v) {
            if (v == 255) return QStringLiteral("n/a");
            const QString t = defs.StateText(k, v);
            if (!t.isEmpty()) return t;
            return v == 0 ? QStringLiteral("none") : QString::number(v);
        };
        out_ << name << ": present=" << state(present) << " stored=" << state(stored) << "\n";
        ++shown;
    }
    if (shown == 0) out_ << "No error items are defined and none is reported.\n";
    return CLI_OK;
}

int CliSession::CmdClearErrors(QStringList args) {
    NoMoreArgs(args, QStringLiteral("clear-errors"));
    if (!Try([&] { return requests_->SendAndWait(CMD_CANC_ERR, {}); })) {
        err_ << "The error memory could not be cleared.\n";
        return CLI_LINK;
    }
    err_ << "The ECU's error memory was cleared.\n";
    return CLI_OK;
}

}  // namespace

QString CliHelpText() {
    return QStringLiteral(
        "Usage: gascal-cli [--install-dir DIR] [--port USB|COM1..COM9|PATH] [--sim]\n"
        "                  [--timeout SECONDS] [--lang N] COMMAND [ARGS]\n"
        "\n"
        "The tool's link and data layers without a window: the same frames, in the same\n"
        "order, and the same communication log (BIN/RxTx.TXT) as the window.\n"
        "\n"
        "Port:\n"
        "  --port USB        the USB cable (device 0); COM1..COM9 a serial port; a device\n"
        "                    path (e.g. /dev/ttyUSB0 or a pseudo-terminal) stands for the\n"
        "                    configured serial port (COM1 when none is configured).\n"
        "                    Disables the port search; the\n"
        "                    settings file is left unchanged.\n"
        "  --sim             use the built-in simulated ECU (USB device 0).\n"
        "  --list-ports      show what COM1..COM9 stand for on this machine and exit.\n"
        "  Neither: BIN/SetCom.ini decides; without it the ports are searched (USB, COM1\n"
        "  .. COM9) and the port found is written to the settings file.\n"
        "  --timeout S       how long to wait for an ECU (default 30 s).\n"
        "  --install-dir DIR installation folder (default: the parent of the program's folder).\n"
        "  --lang N          dictionary language for texts (default: the current language).\n"
        "\n"
        "On connecting the ECU is identified and checked against the firmware file: a\n"
        "missing firmware file, a foreign project code or a newer ECU firmware stop with\n"
        "both descriptions; an available upgrade is only mentioned.\n"
        "\n"
        "Commands:\n"
        "  identify                      firmware identity of the ECU and of the file\n"
        "  live [--count N] [--csv]      N readings of the live values (default 10)\n"
        "  get [FIELD...]                settings of blocks 2, 3 and 5 (all, or the named)\n"
        "  set FIELD=VALUE... [--save]   change settings (checked first; each block is read,\n"
        "                                written and read back); --save stores to flash\n"
        "  save-params FILE              save the whole configuration (*.var)\n"
        "  load-params FILE              load a configuration into the ECU and save it\n"
        "  read-table [--csv]            the ECU's correction table\n"
        "  errors                        the ECU's error list\n"
        "  clear-errors                  clear the ECU's error memory\n"
        "\n"
        "Numbers are printed with a decimal point; values may be typed with a point or a\n"
        "comma. Data go to standard output, messages to standard error.\n"
        "\n"
        "Exit codes: 0 success, 2 usage or invalid input, 3 no ECU or link failure,\n"
        "4 file error, 5 ECU incompatible.\n");
}

int RunCli(const QStringList& args, QTextStream& out, QTextStream& err, const CliEnvironment& env) {
    try {
        CliOptions o = ParseOptions(args);
        if (o.help) {
            out << CliHelpText();
            return CLI_OK;
        }
        if (o.listPorts) {
            // What COM1..COM9 stand for on this machine.
            for (const QString& line : SerialPortMap()) out << line << "\n";
            out.flush();
            return CLI_OK;
        }
        if (o.command.isEmpty()) throw UsageError(QStringLiteral("no command given"));
        static const QStringList commands{"identify",    "live",        "get",
                                          "set",         "save-params", "load-params",
                                          "read-table",  "errors",      "clear-errors"};
        if (!commands.contains(o.command)) throw UsageError(QStringLiteral("unknown command ") + o.command);
        if (o.port.isEmpty() == false && o.sim &&
            o.port.compare(QLatin1String("USB"), Qt::CaseInsensitive) != 0)
            throw UsageError(QStringLiteral("--sim is the USB device; it cannot be used with --port ") + o.port);
        if (!o.port.isEmpty()) {
            const QString p = o.port.trimmed();
            // COM followed by a number names one of the serial ports COM1..COM9;
            // any other number is a typing mistake, not a device path.
            static const QRegularExpression comNumber(QStringLiteral("^COM[0-9]+$"),
                                                      QRegularExpression::CaseInsensitiveOption);
            if (comNumber.match(p).hasMatch() &&
                !(p.size() == 4 && p[3] >= QLatin1Char('1') && p[3] <= QLatin1Char('9')))
                throw UsageError(
                    QStringLiteral("--port %1: the serial ports are COM1 to COM9").arg(p));
            const bool named = p.compare(QLatin1String("USB"), Qt::CaseInsensitive) == 0 ||
                               comNumber.match(p).hasMatch();
            if (!named && !QFileInfo::exists(p)) {
                err << "The port device does not exist: " << p << "\n";
                return CLI_LINK;
            }
        }
        QString dir = o.installDir;
        if (dir.isEmpty()) dir = env.defaultInstallDir;
        if (dir.isEmpty())
            dir = DeriveInstallDir(QDir::fromNativeSeparators(QCoreApplication::applicationDirPath()));
        if (!IsFolder(dir)) {
            err << "The installation folder does not exist: " << dir << "\n";
            return CLI_FILE;
        }
        SetInstallDir(QDir(dir).absolutePath());
        o.installDir = InstallDir();
        CliSession session(o, out, err, env);
        const int rc = session.Run();
        out.flush();
        err.flush();
        return rc;
    } catch (const UsageError& e) {
        err << "gascal-cli: " << e.message << "\n(see gascal-cli --help)\n";
        err.flush();
        return CLI_USAGE;
    }
}

}  // namespace gascal
