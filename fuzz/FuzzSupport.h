// Shared pieces of the fuzz targets: a quiet stand-in for the user (every
// box answered with its default, every dialog cancelled), a scratch
// installation folder holding the shipped data files, and a quick way to
// turn the fuzzer's bytes into a file the readers open by name.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>

#include "common/Prompts.h"

namespace gascal::fuzz {

class QuietPrompts : public Prompts {
  public:
    BoxResult MessageBox(const QString&, const QString&, BoxIcon, BoxButtons buttons) override;
    QString OpenFile(const FileDialogRequest&) override { return {}; }
    QString SaveFile(const FileDialogRequest&) override { return {}; }
};

// Sets up the process once: the quiet prompts and the scratch installation
// folder (made the installation folder of this run). Returns its path.
const QString& Setup();

// Writes the bytes to the file `name` in the scratch folder (replacing it)
// and returns the file's full path.
QString WriteInput(const QString& name, const uint8_t* data, size_t size);
// Same for a path relative to the scratch folder ("BIN/SetCom.ini").
QString WriteInstallFile(const QString& relative, const uint8_t* data, size_t size);

// Splits the input: the first byte picks one of `choices` readers, the rest
// is what that reader gets.
struct Selected {
    int choice = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
};
Selected Select(const uint8_t* data, size_t size, int choices);

}  // namespace gascal::fuzz
