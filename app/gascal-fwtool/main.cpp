// gascal-fwtool: writes a firmware file for the injection ECU from a version,
// a date and a project descriptor, in plain or scrambled text. The
// installation's firmware file is produced with it:
//   gascal-fwtool --version 0140 --date 01092026
//       --descriptor "KT540 GASCAL INJ468" --output installdata/BIN/TeluroInj468.frh
// It can also check a firmware file against a flash table (--check).
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <cstdio>

#include "common/TextFile.h"
#include "link/firmware/FirmwareWriter.h"
#include "link/firmware/FlashImage.h"
#include "link/firmware/LineReader.h"

using namespace gascal;

namespace {

int Fail(const QString& text) {
    std::fprintf(stderr, "gascal-fwtool: %s\n", qPrintable(text));
    return 1;
}

int Check(const QString& flashIni, const QString& firmware) {
    FlashTable table;
    FlashImage image;
    QString identity, error;
    if (!ReadFirmwareFileIdentity(table, image, flashIni, firmware, identity, &error))
        return Fail(error);
    const FirmwareFileContent c = ReadFirmwareFile(firmware, table);
    std::printf("%s: %s, %zu records, identity %s\n", qPrintable(firmware),
                IsScrambledFile(firmware) ? "scrambled" : "plain", c.records.size(),
                qPrintable(identity));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("gascal-fwtool"));
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("Writes or checks a firmware file of the injection ECU."));
    p.addHelpOption();
    const FirmwareDescription defaults;
    QCommandLineOption version(
        QStringLiteral("version"),
        QStringLiteral("Major and minor version, 4 digits (default %1).").arg(defaults.version),
        QStringLiteral("MMmm"), defaults.version);
    QCommandLineOption date(
        QStringLiteral("date"),
        QStringLiteral("Release date DDMMYYYY (default %1).").arg(defaults.date),
        QStringLiteral("DDMMYYYY"), defaults.date);
    QCommandLineOption descriptor(QStringLiteral("descriptor"),
                                  QStringLiteral("Project descriptor, at most 32 characters "
                                                 "(default \"%1\").")
                                      .arg(defaults.descriptor),
                                  QStringLiteral("text"), defaults.descriptor);
    QCommandLineOption seed(
        QStringLiteral("seed"),
        QStringLiteral("Seed of the program bytes (default %1).").arg(defaults.seed),
        QStringLiteral("N"), QString::number(defaults.seed));
    QCommandLineOption output(QStringLiteral("output"), QStringLiteral("File to write."),
                              QStringLiteral("path"));
    QCommandLineOption plain(QStringLiteral("plain"), QStringLiteral("Write plain text."));
    QCommandLineOption scrambled(QStringLiteral("scrambled"),
                                 QStringLiteral("Write scrambled text (the default)."));
    QCommandLineOption check(QStringLiteral("check"),
                             QStringLiteral("Check a firmware file against a flash table and print "
                                            "its identity."),
                             QStringLiteral("firmware"));
    QCommandLineOption flashIni(QStringLiteral("flash-ini"),
                                QStringLiteral("Flash table for --check."), QStringLiteral("path"));
    QCommandLineOption installDir(
        QStringLiteral("install-dir"),
        QStringLiteral("Installation folder: --flash-ini defaults to its BIN/Flash.ini."),
        QStringLiteral("DIR"));
    p.addOptions(
        {version, date, descriptor, seed, output, plain, scrambled, check, flashIni, installDir});
    p.process(app);

    if (p.isSet(check)) {
        QString table = p.value(flashIni);
        if (table.isEmpty() && p.isSet(installDir))
            table = QDir(p.value(installDir)).filePath(QStringLiteral("BIN/Flash.ini"));
        if (table.isEmpty())
            return Fail(QStringLiteral("--check needs --flash-ini or --install-dir"));
        return Check(table, p.value(check));
    }
    if (!p.isSet(output)) return Fail(QStringLiteral("--output is required (see --help)"));
    if (p.isSet(plain) && p.isSet(scrambled))
        return Fail(QStringLiteral("choose one of --plain and --scrambled"));

    FirmwareDescription d;
    d.version = p.value(version);
    d.date = p.value(date);
    d.descriptor = p.value(descriptor);
    bool ok = false;
    d.seed = p.value(seed).toUInt(&ok);
    if (!ok) return Fail(QStringLiteral("--seed is not a number"));

    QString error;
    const QStringList lines = BuildFirmwareLines(d, &error);
    if (lines.isEmpty()) return Fail(error);
    const bool written = p.isSet(plain) ? WriteLatin1Lines(p.value(output), lines)
                                        : WriteScrambledFile(p.value(output), lines);
    if (!written) return Fail(QStringLiteral("cannot write %1").arg(p.value(output)));
    std::printf("%s: %lld lines written (%s)\n", qPrintable(p.value(output)),
                static_cast<long long>(lines.size()), p.isSet(plain) ? "plain" : "scrambled");
    return 0;
}
