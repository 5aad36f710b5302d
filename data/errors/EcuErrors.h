// The ECU's error list as the tool shows it: the definitions of the error
// items taken from the dictionary (item name, "?", state texts separated by
// "|"), the ignore mask, and the state text of an item for a flag value.
// The flags themselves live in the link (ErrInj: byte k is the present state
// of item k, byte k + 32 its stored state; 0 no error, 255 not available).
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>

namespace gascal {

class ClsLingue;

// Dictionary entry of the first error definition. The definitions run from
// here to the entry "[END_ERROR_ECU]" (at most 256); the entry after that
// marker is the caption of the "Errori" button.
inline constexpr int kErrorDefinitionsFirstEntry = 700;
inline constexpr int kMaxErrorDefinitions = 256;
inline constexpr int kErrorItems = 32;
inline constexpr int kErrorFlags = 64;

class EcuErrorDefinitions {
  public:
    // Reads the definitions of language `language` (the current one when -1).
    void Load(const ClsLingue& lingue, int language = -1,
              int firstEntry = kErrorDefinitionsFirstEntry);
    // The same from a plain list of entries (first definition first).
    void LoadEntries(const QStringList& entries);

    int Count() const { return static_cast<int>(defs_.size()); }
    QString ButtonCaption() const { return buttonCaption_; }
    // Text before the first "?", trimmed; empty past the last definition.
    QString ItemName(int k) const;
    // The v-th "|"-separated part after the first "?"; empty when missing.
    QString StateText(int k, int v) const;

  private:
    QStringList defs_;
    QString buttonCaption_;
};

using ErrorFlags = std::array<uint8_t, kErrorFlags>;
using ErrorMask = std::array<bool, kErrorFlags>;

// Clears the masked flags (item k masks bytes k and k + 32 together).
void ApplyIgnoreMask(ErrorFlags& flags, const ErrorMask& mask);
// First index whose flag is neither 0 nor 255 and belongs to a defined item,
// or -1: the "Errori" button is shown when this is not -1.
int FirstActiveError(const ErrorFlags& flags, int definitions);

}  // namespace gascal
