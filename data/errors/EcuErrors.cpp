#include "data/errors/EcuErrors.h"

#include "data/core/ClsLingue.h"

namespace gascal {

namespace {
const QString kEndMarker = QStringLiteral("[END_ERROR_ECU]");
}

void EcuErrorDefinitions::Load(const ClsLingue& lingue, int language, int firstEntry) {
    if (language < 0) language = lingue.IdLingua();
    QStringList entries;
    const int last = lingue.UboundVociLingua(language);
    for (int i = firstEntry; i <= last && entries.size() <= kMaxErrorDefinitions + 1; ++i)
        entries << lingue.VoceDizionario(language, i);
    LoadEntries(entries);
}

void EcuErrorDefinitions::LoadEntries(const QStringList& entries) {
    defs_.clear();
    buttonCaption_.clear();
    for (int i = 0; i < entries.size(); ++i) {
        if (entries[i].trimmed() == kEndMarker) {
            buttonCaption_ = entries.value(i + 1);
            return;
        }
        if (defs_.size() >= kMaxErrorDefinitions) return;
        defs_ << entries[i];
    }
}

QString EcuErrorDefinitions::ItemName(int k) const {
    if (k < 0 || k >= defs_.size()) return {};
    return defs_[k].section(QLatin1Char('?'), 0, 0).trimmed();
}

QString EcuErrorDefinitions::StateText(int k, int v) const {
    if (k < 0 || k >= defs_.size() || v < 0) return {};
    const int q = defs_[k].indexOf(QLatin1Char('?'));
    if (q < 0) return {};
    const QStringList states = defs_[k].mid(q + 1).split(QLatin1Char('|'));
    return states.value(v).trimmed();
}

void ApplyIgnoreMask(ErrorFlags& flags, const ErrorMask& mask) {
    for (int k = 0; k < kErrorItems; ++k) {
        if (mask[k] || mask[k + kErrorItems]) flags[k] = flags[k + kErrorItems] = 0;
    }
}

int FirstActiveError(const ErrorFlags& flags, int definitions) {
    for (int i = 0; i < kErrorFlags; ++i) {
        if (flags[i] == 0 || flags[i] == 255) continue;
        const int item = i < kErrorItems ? i : i - kErrorItems;
        if (item < definitions) return i;
        return -1;
    }
    return -1;
}

}  // namespace gascal
