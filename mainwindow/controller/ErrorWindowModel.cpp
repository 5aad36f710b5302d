#include "mainwindow/controller/ErrorWindowModel.h"

#include "common/Prompts.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/ErrorList.h"
#include "mainwindow/controller/WindowTexts.h"

namespace gascal {

namespace {
// The section's entries: three headings, "Canc.", the window caption.
constexpr int kSectionTexts = 5;
const char* const kDefaultTexts[kSectionTexts] = {"Error", "Present", "Stored", "Canc.",
                                                  "ECU errors"};
}  // namespace

ErrorWindowModel::ErrorWindowModel(EcuSession& session, ErrorList& errors)
    : session_(session), errors_(errors) {
    QStringList fallbacks;
    for (const char* t : kDefaultTexts) fallbacks << QString::fromLatin1(t);
    const QStringList t = session_.SectionTexts(QStringLiteral("[FrmErrEcu]"), fallbacks);
    headings_ = t.mid(0, kErrorWindowColumns);
    canc_ = t[3];
    caption_ = t[4];
    const EcuErrorDefinitions& defs = errors_.Definitions();
    for (int k = 0; k < kErrorItems; ++k) {
        const QString name = defs.ItemName(k);
        if (!name.isEmpty()) rows_.push_back({k, name, QString(), QString()});
    }
    Refresh();
}

bool ErrorWindowModel::Refresh() {
    const ErrorFlags flags = errors_.Flags();
    const EcuErrorDefinitions& defs = errors_.Definitions();
    bool changed = false;
    for (Row& r : rows_) {
        const QString present = defs.StateText(r.item, flags[static_cast<size_t>(r.item)]);
        const QString stored =
            defs.StateText(r.item, flags[static_cast<size_t>(r.item + kErrorItems)]);
        if (present == r.present && stored == r.stored) continue;
        r.present = present;
        r.stored = stored;
        changed = true;
    }
    return changed;
}

bool ErrorWindowModel::Canc() {
    // A click may come while the polling cycle waits for an answer: the
    // request is tried again once the link is free, as the window's
    // procedures do.
    DirectRequests direct(session_);
    if (!direct.Try([this] { return errors_.Clear(); })) {
        UserPrompts().Message(WindowText(session_, WinText::MsgErrorsNotCleared), caption_,
                              BoxIcon::Warning);
        return false;
    }
    for (Row& r : rows_) r.present.clear(), r.stored.clear();
    return true;
}

}  // namespace gascal
