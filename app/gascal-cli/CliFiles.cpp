// gascal-cli's file commands: the samples of a log, recording or table
// file as the signal viewer reads them, and the comparison of a parameter
// file with the ECU or with another file.
#include <QFileInfo>

#include "app/gascal-cli/CliCommand.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/ParamCompare.h"
#include "viewer/model/RecordingFiles.h"

namespace gascal {

namespace {

struct ExportOptions {
    bool csv = false;
    int inj = 1;
    QString path;
};

ExportOptions ParseExport(QStringList args) {
    ExportOptions o;
    o.csv = TakeFlag(args, QStringLiteral("--csv"));
    o.inj = TakeIntOption(args, QStringLiteral("--inj"), 1);
    if (o.inj > kViewInjectors)
        throw UsageError(QStringLiteral("--inj takes an injector from 1 to 8"));
    if (args.size() != 1) throw UsageError(QStringLiteral("export needs one FILE"));
    o.path = args.first();
    return o;
}

int RunExport(CliContext& cx, QStringList args) {
    const ExportOptions o = ParseExport(args);
    const QString& path = o.path;
    if (!QFileInfo(path).isFile()) {
        cx.err << "The file cannot be read: " << path << "\n";
        return CLI_FILE;
    }
    // The installation's factors (injection times, supply voltage), as the
    // viewer decodes with them.
    ViewScales scales = ViewScales::FromImage(cx.Ecu().Image());
    size_t rows = 0;
    switch (RecogniseViewFile(path)) {
        case ViewFileKind::Log: {
            scales = ReadLogConstants(path, scales);
            // Window by window: each line is in exactly one window.
            LogWindow w;
            int direction = 0;
            do {
                const SampleRead read = ReadLog(path, direction, scales, w);
                if (!read.ok) {
                    cx.err << "The file cannot be read: " << path << "\n";
                    return CLI_FILE;
                }
                w = read.window;
                cx.out << SamplesTable(read.samples, 0, read.samples.size(), o.inj - 1,
                                       w.recordingStartMs, o.csv, direction == 0);
                rows += read.samples.size();
                direction = 1;
            } while (w.windowed && w.nextEnabled);
            break;
        }
        case ViewFileKind::Table: {
            const SampleRead read = ReadTableFile(path, false);
            if (!read.ok) {
                cx.err << "The file cannot be read: " << path << "\n";
                return CLI_FILE;
            }
            const std::vector<ViewSample>& samples = read.samples;
            cx.out << SamplesTable(samples, 0, samples.size(), o.inj - 1,
                                   samples.empty() ? 0 : samples.front().SampleTimeMs, o.csv);
            rows = samples.size();
        } break;
        case ViewFileKind::Missing:
        case ViewFileKind::Unrecognised:
            cx.err << "Not a log, a recording or a table text file: " << path << "\n";
            return CLI_FILE;
    }
    cx.out.flush();
    cx.err << rows << " samples\n";
    return CLI_OK;
}

// A parameter file as a load onto `base` would read it; what makes it
// unusable is said.
ParamFileRead ReadForDiff(CliContext& cx, const QString& path, const ParamImage& base) {
    ParamFileRead file = ReadParamFileForCompare(path, base, cx.Ecu().LoadOptions());
    if (!file.found) {
        cx.err << "The parameter file cannot be read: " << path << "\n";
    } else if (!file.Usable()) {
        // Only what cannot be compared is named here; what the file lacks
        // is listed with the differences.
        ParamLoadReport problems = file.report;
        problems.missing.clear();
        cx.err << path << ":\n"
               << ParamFileProblems(problems).replace(QLatin1String("\r\n"), QLatin1String("\n"))
               << "\n";
        cx.err << "The parameter file is not compared.\n";
    }
    return file;
}

// The files are read before the ECU is looked for; two files need no ECU.
int CheckDiff(CliContext& cx, const QStringList& args) {
    if (args.isEmpty() || args.size() > 2)
        throw UsageError(QStringLiteral("diff needs FILE [FILE2]"));
    for (const QString& path : args)
        if (!ReadForDiff(cx, path, cx.Ecu().Image()).Usable()) return CLI_FILE;
    return CLI_OK;
}

int RunDiff(CliContext& cx, QStringList args) {
    const QString& firstPath = args.first();
    EcuSession& ecu = cx.Ecu();
    std::vector<ParamDifference> diffs;
    QStringList notInFile;  // "NAME: not in the file ..."
    if (args.size() == 2) {
        // Both files on the same image, so what neither file carries is the same.
        const ParamFileRead first = ReadForDiff(cx, firstPath, ecu.Image());
        const ParamFileRead second = ReadForDiff(cx, args[1], ecu.Image());
        if (!first.Usable() || !second.Usable()) return CLI_FILE;
        cx.err << "Comparing " << firstPath << " (first) with " << args[1] << " (second)\n";
        diffs = CompareParams(first.Side(), second.Side());
        auto lacks = [&](const ParamFileRead& f, const ParamFileRead& other, const char* which) {
            QStringList parts = f.NotInFile();
            // Without an ECU no block 5 is expected; one file holding it is
            // enough to name it as missing from the other.
            if (!f.hasBlock5 && other.hasBlock5 && !parts.contains(QLatin1String("[BLK5]")))
                parts.prepend(QStringLiteral("[BLK5]"));
            for (const QString& p : parts)
                notInFile << p + QStringLiteral(": not in the file (") + QLatin1String(which) +
                                 QLatin1Char(')');
        };
        lacks(first, second, "first");
        lacks(second, first, "second");
    } else {
        // The file goes onto the ECU's own image, as a load would.
        if (!cx.Direct().ReadSettings() || !cx.Direct().ReadTable()) {
            cx.err << "The ECU's settings could not be read.\n";
            return CLI_LINK;
        }
        const ParamFileRead file = ReadForDiff(cx, firstPath, ecu.Image());
        if (!file.Usable()) return CLI_FILE;
        cx.err << "Comparing " << firstPath << " (first) with the ECU (second)\n";
        diffs = CompareParams(file.Side(), EcuSide(ecu));
        for (const QString& p : file.NotInFile())
            notInFile << p + QStringLiteral(": not in the file");
    }
    for (const ParamDifference& d : diffs)
        cx.out << d.name << ": " << FormatCliNumber(d.first, d.decimals) << " | "
               << FormatCliNumber(d.second, d.decimals) << "\n";
    // What a load would leave as the ECU has it.
    for (const QString& l : notInFile) cx.out << l << "\n";
    if (diffs.empty()) {
        cx.err << (notInFile.isEmpty() ? "No differences.\n"
                                       : "No differences in what the file holds.\n");
        return CLI_OK;
    }
    cx.err << diffs.size() << (diffs.size() == 1 ? " difference.\n" : " differences.\n");
    return CLI_DIFFERENT;
}

}  // namespace

std::vector<CliCommand> FileCommands() {
    return {
        {"export", [](const QStringList&) { return false; },
         [](CliContext&, const QStringList& a) { return ParseExport(a), 0; }, RunExport,
         "export FILE [--inj N] [--csv]",
         "the samples of a log, a saved recording (*.vfl) or a\n"
         "table text file as the signal viewer reads them:\n"
         "time_ms and the eight channels' read-out values\n"
         "(injector N, default 1); no ECU needed"},
        {"diff", [](const QStringList& a) { return a.size() != 2; }, CheckDiff, RunDiff,
         "diff FILE [FILE2]",
         "compare a parameter file with the ECU, or two files:\n"
         "every field, model value and table entry that a\n"
         "load would change, as NAME: FIRST | SECOND; what a\n"
         "partial file does not hold as NAME: not in the\n"
         "file (a load keeps the ECU's). The hour counters,\n"
         "WorkMode, Mem2Byte1 and EcuMode are never loaded and\n"
         "never compared. A file that is not a parameter\n"
         "file, or holds a value the ECU cannot hold, or a\n"
         "line that cannot be read, is refused (exit 4)"},
    };
}

}  // namespace gascal
