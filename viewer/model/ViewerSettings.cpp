#include "viewer/model/ViewerSettings.h"

#include <QStringList>
#include <algorithm>
#include <cmath>

#include "common/TextFile.h"

namespace gascal {

ChannelSettings DefaultChannelSettings() {
    ChannelSettings s;
    for (int i = 0; i < kViewChannels; ++i) {
        const ViewChannel& c = ChannelDef(i);
        s[static_cast<size_t>(i)] = {true, c.colour, c.pos, c.gain};
    }
    return s;
}

double ChannelUp(double pos) {
    return std::max(pos - kPosStep, kPosMin);
}
double ChannelDown(double pos) {
    return std::min(pos + kPosStep, kPosMax);
}
double GainZoomIn(double gain) {
    return std::min(gain * 2, kGainMax);
}
double GainZoomOut(double gain) {
    return std::max(gain / 2, kGainMin);
}

// --- OsciConfig.ini ----------------------------------------------------------------

QString SettingsNumberText(double value) {
    if (!std::isfinite(value)) value = 0;
    QString digits = QString::number(std::fabs(value), 'f', 6);
    while (digits.endsWith(QLatin1Char('0'))) digits.chop(1);
    if (digits.endsWith(QLatin1Char('.'))) digits.chop(1);
    digits.replace(QLatin1Char('.'), QLatin1Char(','));
    if (digits == QLatin1String("0")) return QStringLiteral(" 0 ");
    return (value < 0 ? QStringLiteral("-") : QStringLiteral(" ")) + digits + QLatin1Char(' ');
}

bool ReadSettingsNumber(const QString& textIn, double& value) {
    const QString text = textIn.trimmed();
    if (text.isEmpty()) return false;
    int i = 0;
    bool negative = false;
    if (text[0] == QLatin1Char('-') || text[0] == QLatin1Char('+')) {
        negative = text[0] == QLatin1Char('-');
        i = 1;
    }
    double v = 0, place = 0;
    bool digits = false;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            digits = true;
            if (place == 0) {
                v = v * 10 + (c.unicode() - '0');
            } else {
                v += (c.unicode() - '0') * place;
                place /= 10;
            }
        } else if ((c == QLatin1Char(',') || c == QLatin1Char('.')) && place == 0) {
            place = 0.1;
        } else {
            return false;
        }
    }
    if (!digits) return false;
    value = negative ? -v : v;
    return true;
}

bool LoadViewerSettings(const QString& path, ChannelSettings& settings) {
    QStringList lines;
    if (!ReadLatin1Lines(path, lines)) return false;
    const auto line = [&lines](int i) { return i < lines.size() ? lines[i] : QString(); };
    for (int i = 0; i < lines.size(); ++i) {
        const QString key = lines[i].trimmed();
        // Keys the viewer no longer keeps: their value line is passed over.
        if (key == QLatin1String("[LastPath]") || key == QLatin1String("[SecDiv]") ||
            key == QLatin1String("[ChannelSel]")) {
            ++i;
            continue;
        }
        for (int c = 0; c < kViewChannels; ++c) {
            if (key != QLatin1Char('[') + QLatin1String(ChannelDef(c).caption) + QLatin1Char(']'))
                continue;
            ChannelSetting& s = settings[static_cast<size_t>(c)];
            if (i + 1 < lines.size()) s.shown = line(i + 1).trimmed() == QLatin1String("1");
            double v = 0;
            if (ReadSettingsNumber(line(i + 2), v) && v >= 0 && v <= kColourMax &&
                v == std::floor(v))
                s.colour = static_cast<uint32_t>(v);
            if (ReadSettingsNumber(line(i + 3), v) && v >= kPosMin && v <= kPosMax) s.pos = v;
            if (ReadSettingsNumber(line(i + 4), v) && v >= kGainMin && v <= kGainMax) s.gain = v;
            i += 4;
            break;
        }
    }
    return true;
}

bool SaveViewerSettings(const QString& path, const ChannelSettings& settings) {
    QStringList lines;
    for (int c = 0; c < kViewChannels; ++c) {
        const ChannelSetting& s = settings[static_cast<size_t>(c)];
        lines << QLatin1Char('[') + QLatin1String(ChannelDef(c).caption) + QLatin1Char(']');
        lines << (s.shown ? QStringLiteral("1") : QStringLiteral("0"));
        lines << SettingsNumberText(s.colour);
        lines << SettingsNumberText(s.pos);
        lines << SettingsNumberText(s.gain);
    }
    return WriteLatin1Lines(path, lines);
}

// --- Time base -----------------------------------------------------------------------

double SecDivUp(double s) {
    if (s >= 10) return 20;
    if (s >= 7.5) return 10;
    if (s >= 5) return 7.5;
    if (s >= 2) return 5;
    if (s >= 1) return 2;
    return 1;
}

double SecDivDown(double s) {
    if (s > 10) return 10;
    if (s > 7.5) return 7.5;
    if (s > 5) return 5;
    if (s > 2) return 2;
    return 1;
}

QString SecDivText(double secDiv) {
    return QString::number(secDiv, 'f', 2).replace(QLatin1Char('.'), QLatin1Char(',')) +
           QStringLiteral(" s");
}

}  // namespace gascal
