#include "mainwindow/controller/WindowTexts.h"

#include <array>

#include "ecu/EcuSession.h"

namespace gascal {

namespace {
// Entries 470 and on of the dictionary; the window sections sit just
// before them (440 to 469).
constexpr int kBase = 470;
constexpr int E(int offset) {
    return kBase + offset;
}

const std::array<WinTextEntry, static_cast<size_t>(WinText::Count)> kTexts{{
    {WinText::MsgSemiSequentialKeyOn, E(0),
     "Switch the ignition key off before changing the semi sequential control."},
    {WinText::CmdChangeStatoEcu, E(1), "ECU mode RUN / SLV"},
    {WinText::MsgErrorsNotCleared, E(2),
     "The ECU did not confirm that its error memory was cleared."},
    {WinText::MenuCompare, E(3), "&Compare with file..."},
    {WinText::CompareTitle, E(4), "Compare with file"},
    {WinText::CompareNone, E(5), "The file and the ECU hold the same configuration."},
    {WinText::CompareSome, E(6), "Differences:"},
    {WinText::CompareField, E(7), "Field"},
    {WinText::CompareFile, E(8), "File"},
    {WinText::CompareEcu, E(9), "ECU"},
    {WinText::CompareBadFile, E(10), "The parameter file cannot be compared:"},
}};
}  // namespace

const WinTextEntry& WindowTextInfo(WinText id) {
    return kTexts[static_cast<size_t>(id)];
}

QString WindowText(const EcuSession& session, WinText id) {
    const WinTextEntry& e = WindowTextInfo(id);
    const QString t = session.Text(e.entry);
    return t.isEmpty() ? QString::fromLatin1(e.english) : t;
}

}  // namespace gascal
