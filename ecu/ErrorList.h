// The ECU's error list as the tool reads it: the error flags (CMD_READ_ERR)
// with the items this installation ignores cleared, whether any error is
// present (the "Errori" button), and clearing the ECU's error memory. The
// item definitions come from the dictionary. Shared by the window's polling
// cycle and gascal-cli.
#pragma once

#include <QString>
#include <functional>
#include <vector>

#include "data/errors/EcuErrors.h"

namespace gascal {

class EcuSession;

class ErrorList {
  public:
    explicit ErrorList(EcuSession& session) : session_(session) {}

    // The item definitions in the session's language.
    void LoadDefinitions();
    // The item definitions of the dictionary's first language (English):
    // the names and state texts that stand as keys whatever the language,
    // for output a script reads.
    void LoadKeyDefinitions();
    const EcuErrorDefinitions& Definitions() const { return defs_; }
    // The "Errori" button's caption ("Errors" when the dictionary has none).
    QString ButtonCaption() const;

    // CaricaErroriEcu: reads the flags (when the link is idle; without an
    // answer the flags keep what the last read left), clears the ignored
    // items in the link's flags, so the error window shows the same, and
    // tells whether an error is present. True when the ECU answered.
    bool Read();
    bool ErrorsPresent() const { return present_; }
    ErrorMask IgnoreMask() const;
    // The flags as the link holds them (masked after a Read).
    ErrorFlags Flags() const;

    // Clears the ECU's error memory (CMD_CANC_ERR). When the ECU confirms,
    // its answer has cleared the link's flags, no error is present any more
    // and the listeners hear it (the main window hides its "Errori" button).
    bool Clear();
    void OnCleared(std::function<void()> f) { cleared_.push_back(std::move(f)); }

  private:
    EcuSession& session_;
    EcuErrorDefinitions defs_;
    bool present_ = false;
    std::vector<std::function<void()>> cleared_;
};

}  // namespace gascal
