#include "data/core/ParamFile.h"

#include <QFile>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/Prompts.h"
#include "common/TextFile.h"
#include "data/core/DataTexts.h"
#include "data/core/ParamImage.h"
#include "data/core/ParamLink.h"
#include "data/core/ParamRequests.h"

namespace gascal {

namespace {

const QString kInfo = QStringLiteral("[INFO]");
const QString kBlk2 = QStringLiteral("[BLK2]");
const QString kBlk3 = QStringLiteral("[BLK3]");
const QString kBlk5 = QStringLiteral("[BLK5]");
const QString kCor = QStringLiteral("[COR]");
const QString kAdt = QStringLiteral("[ADT]");
constexpr int kMaxBadLinesShown = 10;

// The block data of a "B2"/"B3"/"B5" line, when it is whole: valid
// hexadecimal text of exactly the block's length (block 5 also in the short
// form of older firmware). A torn or garbled line gives nothing, so that it
// can never put zeros into the fields it lacks.
std::optional<QString> BlockHex(const QString& line, int bytes, int altBytes = -1) {
    const QString hex = line.mid(2).trimmed();
    if (hex.size() != 2 * bytes && (altBytes < 0 || hex.size() != 2 * altBytes))
        return std::nullopt;
    bool ok = false;
    HexToBytes(hex, &ok);
    if (!ok) return std::nullopt;
    return hex.toUpper();
}

void RestoreMem3(ParamImage& image) {
    image.Mem3Block = image.FileBackupMem3;
    image.RecomputeRpmConstant();
}

}  // namespace

// --- Limits and problems -----------------------------------------------------------

CorEntryRange CorEntryLimits(int index, double kInj) {
    CorEntryRange r;
    if (index < kCorTimeEntries) {
        r.min = -32768 * kInj;
        r.max = 32767 * kInj;
        r.name = QStringLiteral("entry %1 (ms)").arg(index);
        // Shown and compared in the counts' own precision.
        r.decimals = 6;
    } else if (index == kCorTimeEntries) {
        r.max = kCorOffsetMaxMs;
        r.name = QStringLiteral("OFFSET (ms)");
    } else if (index < kCorThousandthsEnd) {
        r.max = kCorAlfaMax;
        r.name = QStringLiteral("ALFA");
    } else {
        r.max = kCorBreakMax;
        r.decimals = 0;
        r.name = QStringLiteral("breakpoint %1 (table steps)").arg(index - kCorThousandthsEnd);
    }
    return r;
}

QString ParamFileProblems(const ParamLoadReport& report) {
    QStringList out;
    auto list = [&out](const QString& title, const QStringList& items) {
        if (items.isEmpty()) return;
        out << title;
        for (const QString& l : items.mid(0, kMaxBadLinesShown)) out << QStringLiteral("  ") + l;
        if (items.size() > kMaxBadLinesShown)
            out << QStringLiteral("  ... (%1 more)").arg(items.size() - kMaxBadLinesShown);
    };
    if (report.NotParameterFile()) out << Text(DataText::ParamFileNotParams);
    list(Text(DataText::ParamFileOutOfRange), report.outOfRange);
    list(Text(DataText::ParamFileMissing), report.missing);
    list(Text(DataText::ParamFileMalformed), report.badLines);
    return out.join(QStringLiteral("\r\n"));
}

// --- Reals -----------------------------------------------------------------------

QString FormatRealBare(double value) {
    if (value == 0 || !std::isfinite(value)) value = 0;
    QString s = QString::number(value, 'g', 15);
    s.replace(QLatin1Char('.'), QLatin1Char(','));
    s.replace(QLatin1Char('e'), QLatin1Char('E'));
    return s;
}

QString FormatReal(double value) {
    const QString s = FormatRealBare(value);
    return s.startsWith(QLatin1Char('-')) ? s : QLatin1Char(' ') + s;
}

std::optional<double> ParseReal(const QString& textIn) {
    static const QRegularExpression re(
        QStringLiteral("^[-+]?(\\d+([.,]\\d*)?|[.,]\\d+)([eE][-+]?\\d{1,3})?$"));
    const QString text = textIn.trimmed();
    if (!re.match(text).hasMatch()) return std::nullopt;
    QString c = text;
    c.replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    const double v = c.toDouble(&ok);
    if (!ok || !std::isfinite(v)) return std::nullopt;
    return v;
}

// --- Saving ----------------------------------------------------------------------

QStringList ParamFileLines(const ParamImage& imageIn, int ecuVersion, const QString& productTitle) {
    // The payloads are built on a copy: a save must neither use up the
    // pending edits (they are still to be written to the ECU) nor leave the
    // substitutions below in the image.
    ParamImage image = imageIn;
    image.SetHost(nullptr);

    QStringList out;
    out << kInfo;
    out << QStringLiteral("%1 %2, file created %3")
               .arg(QLatin1String(kSoftwareVersionText), productTitle,
                    Events().Now().toString(QStringLiteral("dd/MM/yyyy HH:mm:ss")));

    // The fuel the ECU reports is never part of a configuration.
    image.Mem2Block.Mem2Byte1 = 0;
    out << kBlk2 << QStringLiteral("B2") + BytesToHex(image.BuildMem2Payload());

    // Injectors are stored as fitted (1) or not (0), never in a check state;
    // a pending enable is normalised the same way.
    for (uint8_t& e : image.Mem3Block.InjEnable)
        if (e != 0) e = 1;
    for (uint8_t& e : image.PendingEdits.Mem3Block.InjEnable)
        if (e != kPendingByte && e != 0) e = 1;
    out << kBlk3 << QStringLiteral("B3") + BytesToHex(image.BuildMem3Payload());

    if (ecuVersion > kFirmwareWithBlock5)
        out << kBlk5 << QStringLiteral("B5") + BytesToHex(image.BuildMem5Payload());

    out << kCor;
    for (double v : image.CorTable) out << FormatReal(v);
    out << kAdt;
    for (double v : image.AdtTable) out << FormatReal(v);
    return out;
}

bool SaveParamFile(const QString& path, const ParamImage& image, int ecuVersion,
                   const QString& productTitle) {
    if (WriteLatin1Lines(path, ParamFileLines(image, ecuVersion, productTitle))) return true;
    UserPrompts().MessageBox(Text(DataText::ParamFileNotWritten) + QStringLiteral("\r\n") + path,
                             Text(DataText::ParamFileTitle), BoxIcon::Critical, BoxButtons::Ok);
    return false;
}

// --- Loading ---------------------------------------------------------------------

bool LoadParamFile(const QString& path, ParamImage& image, ParamLink* link,
                   const ParamLoadOptions& options, ParamLoadReport* report) {
    ParamLoadReport local;
    ParamLoadReport& rep = report ? *report : local;
    rep = {};
    QStringList lines;
    if (!FileExists(path) || !ReadLatin1Lines(path, lines)) return false;
    rep.fileFound = true;

    image.FileBackupMem2 = image.Mem2Block;
    image.FileBackupMem3 = image.Mem3Block;
    image.FileBackupMem5 = image.Mem5Block;

    auto bad = [&rep](int index, const QString& why) {
        rep.badLines << QStringLiteral("line %1: %2").arg(index + 1).arg(why);
    };
    // A file cut short ends inside its last line: "0,12" of "0,125" would
    // read as a good value. The tool ends every line it writes, so a last
    // line without its line end is left out and named.
    {
        QFile raw(path);
        if (raw.open(QIODevice::ReadOnly) && raw.size() > 0 && raw.seek(raw.size() - 1)) {
            char last = 0;
            if (raw.getChar(&last) && last != '\n' && last != '\r' && !lines.isEmpty()) {
                bad(static_cast<int>(lines.size()) - 1,
                    QStringLiteral("the file ends inside this line"));
                lines.removeLast();
            }
        }
    }
    // Reads up to 192 values after a section line; returns how many lines
    // the section held. `cor`: values the ECU cannot hold are refused.
    auto readTable = [&](int& i, CorTableArray& table, const QString& name, bool cor) {
        int k = 0;
        for (; k < kCorTableSize && i < lines.size(); ++k) {
            const QString t = lines[i].trimmed();
            // A section line ends a short table instead of being read as a value.
            if (t.startsWith(QLatin1Char('['))) break;
            const auto v = ParseReal(t);
            if (!v) {
                bad(i, QStringLiteral("%1 value %2 is not a number").arg(name).arg(k));
            } else if (cor) {
                const CorEntryRange r = CorEntryLimits(k, image.KInj);
                // Compared as the entry travels, so a value that rounds onto
                // the limit is still one the ECU holds.
                const double onWire = std::nearbyint(*v * std::pow(10.0, r.decimals));
                if (onWire < std::nearbyint(r.min * std::pow(10.0, r.decimals)) ||
                    onWire > std::nearbyint(r.max * std::pow(10.0, r.decimals)))
                    rep.outOfRange << QStringLiteral("line %1: [COR] %2 = %3 is outside %4 to %5")
                                          .arg(i + 1)
                                          .arg(r.name, FormatRealBare(*v), FormatRealBare(r.min),
                                               FormatRealBare(r.max));
                else
                    table[k] = *v;
            } else {
                table[k] = *v;
            }
            ++i;
        }
        return k;
    };

    const QString testData = link ? link->MemoDataCollaudoHex() : QString();
    int i = 0;
    while (i < lines.size()) {
        const int at = i;
        const QString line = lines[i++].trimmed();
        if (line.isEmpty()) continue;
        if (line.startsWith(QLatin1String("B2"))) {
            rep.hasBlock2 = true;
            if (const auto hex = BlockHex(line, kMem2Bytes))
                image.DecodeMem2(*hex);
            else
                bad(at,
                    QStringLiteral("block 2 is not %1 bytes of hexadecimal text").arg(kMem2Bytes));
        } else if (line.startsWith(QLatin1String("B3"))) {
            rep.hasBlock3 = true;
            if (const auto hex = BlockHex(line, kMem3Bytes)) {
                image.DecodeMem3(*hex);
                image.AdaptDefaultsToTestData(path, options.defaultSetPath, testData,
                                              options.sl6Cil, options.sl8Cil);
            } else {
                bad(at,
                    QStringLiteral("block 3 is not %1 bytes of hexadecimal text").arg(kMem3Bytes));
            }
        } else if (line.startsWith(QLatin1String("B5"))) {
            rep.hasBlock5 = true;
            if (const auto hex = BlockHex(line, kMem5Bytes, kMem5ShortBytes))
                image.DecodeMem5(*hex);
            else
                bad(at,
                    QStringLiteral("block 5 is not %1 bytes of hexadecimal text").arg(kMem5Bytes));
        } else if (line == kCor) {
            rep.corEntries = std::max(rep.corEntries, 0) +
                             readTable(i, image.CorTable, QStringLiteral("[COR]"), true);
        } else if (line == kAdt) {
            rep.adtEntries = std::max(rep.adtEntries, 0) +
                             readTable(i, image.AdtTable, QStringLiteral("[ADT]"), false);
        }
    }

    const int version = link ? link->FirmwareEcuVersNum() : 0;
    const bool withBlock5 = version > kFirmwareWithBlock5;
    // What the file does not hold keeps the image's (the ECU's) values.
    if (!rep.hasBlock2) rep.missing << kBlk2;
    if (!rep.hasBlock3) rep.missing << kBlk3;
    if (!rep.hasBlock5 && (link ? withBlock5 : options.block5Expected)) rep.missing << kBlk5;
    auto tableMissing = [&rep](const QString& name, int entries) {
        if (entries < 0)
            rep.missing << name;
        else if (entries < kCorTableSize)
            rep.missing << QStringLiteral("%1 entries %2 to %3")
                               .arg(name)
                               .arg(entries)
                               .arg(kCorTableSize - 1);
    };
    tableMissing(kCor, rep.corEntries);
    tableMissing(kAdt, rep.adtEntries);

    // These three bytes belong to the ECU being loaded, never to the file.
    image.Mem2Block.WorkMode = image.FileBackupMem2.WorkMode;
    image.Mem2Block.Mem2Byte1 = image.FileBackupMem2.Mem2Byte1;
    image.Mem2Block.EcuMode = image.FileBackupMem2.EcuMode;
    // A configuration carries no working hours: the hour counters are the
    // car's own, whichever car the file was saved from.
    image.Mem2Block.HoursCounter1 = image.FileBackupMem2.HoursCounter1;
    image.Mem2Block.HoursCounter2 = image.FileBackupMem2.HoursCounter2;

    if (!rep.badLines.isEmpty() && options.reportBadLines) {
        QStringList shown = rep.badLines.mid(0, kMaxBadLinesShown);
        if (rep.badLines.size() > kMaxBadLinesShown)
            shown << QStringLiteral("... (%1 more)").arg(rep.badLines.size() - kMaxBadLinesShown);
        UserPrompts().MessageBox(Text(DataText::ParamFileBadLines) + QStringLiteral("\r\n") + path +
                                     QStringLiteral("\r\n") + shown.join(QStringLiteral("\r\n")),
                                 Text(DataText::ParamFileTitle), BoxIcon::Warning, BoxButtons::Ok);
    }

    // An ECU without a writable block 5 keeps its own, whether the link runs
    // or not: the image goes on showing what the ECU holds. Without any link
    // (a file only looked at) the image takes what the file holds.
    if (link && !withBlock5) image.Mem5Block = image.FileBackupMem5;

    const auto stopped = [link] { return !link || link->ComState() == kComStateStopped; };
    const PendingEditsRecord pendingBefore = image.PendingEdits;
    const PendingEditsRecord sentinel = ParamImage::SentinelEdits();
    std::optional<ParamRequests> requests;
    if (link) requests.emplace(image, *link);
    bool sentNothing = false;

    // Each block goes through PendingEdits like a page's change, so the
    // builders' rules (and the repaired counts) apply to it. With the link
    // stopped, before or during the load, nothing is sent and loading goes
    // on: the block is applied to the image only.
    const auto put = [&](int block) {
        if (!stopped() && requests->WriteBlock(block)) return true;
        if (!stopped()) return false;
        sentNothing = true;
        switch (block) {
            case 2:
                image.BuildMem2Payload();
                image.PendingEdits.Mem2Block = sentinel.Mem2Block;
                break;
            case 3:
                image.BuildMem3Payload();
                image.PendingEdits.Mem3Block = sentinel.Mem3Block;
                break;
            case 5:
                image.BuildMem5Payload();
                image.PendingEdits.Mem5Block = sentinel.Mem5Block;
                break;
            default:
                break;
        }
        return true;
    };
    // A block that could not be written puts back the image and the pending
    // edits of that block and of those not yet written.
    image.PendingEdits.Mem2Block = image.Mem2Block;
    if (!put(2)) {
        image.Mem2Block = image.FileBackupMem2;
        RestoreMem3(image);
        if (withBlock5) image.Mem5Block = image.FileBackupMem5;
        image.PendingEdits = pendingBefore;
        return false;
    }
    image.PendingEdits.Mem3Block = image.Mem3Block;
    if (!put(3)) {
        RestoreMem3(image);
        if (withBlock5) image.Mem5Block = image.FileBackupMem5;
        image.PendingEdits.Mem3Block = pendingBefore.Mem3Block;
        image.PendingEdits.Mem5Block = pendingBefore.Mem5Block;
        return false;
    }
    if (withBlock5) {
        image.PendingEdits.Mem5Block = image.Mem5Block;
        if (!put(5)) {
            image.Mem5Block = image.FileBackupMem5;
            image.PendingEdits.Mem5Block = pendingBefore.Mem5Block;
            return false;
        }
    }
    if (sentNothing || stopped()) return false;
    // The adaptive table is kept in the image only; the ECU learns its own.
    return requests->WriteCorChunks();
}

void LoadBlock5FromFile(const QString& path, ParamImage& image) {
    QStringList lines;
    if (!FileExists(path) || !ReadLatin1Lines(path, lines)) {
        UserPrompts().MessageBox(
            QStringLiteral("SISTEM ERROR\r\n\r\nFile: ") + path + QStringLiteral(" not found!"),
            QStringLiteral("SYSTEM ERROR"), BoxIcon::Critical, BoxButtons::Ok);
        return;
    }
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (!line.startsWith(QLatin1String("B5"))) continue;
        if (const auto hex = BlockHex(line, kMem5Bytes, kMem5ShortBytes)) image.DecodeMem5(*hex);
        return;
    }
}

// --- Correction table dump -------------------------------------------------------

bool WriteCorDump(const ParamImage& image, const QString& path) {
    QStringList out;
    for (int k = 0; k < kCorTableSize; ++k)
        out << QStringLiteral("\"Val_corTempiGas[%1] = #%2@\"")
                   .arg(k)
                   .arg(FormatRealBare(image.CorTable[k]));
    return WriteLatin1Lines(path, out);
}

}  // namespace gascal
