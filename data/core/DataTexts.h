// The dictionary entries the data layer shows to the user, with the English
// text used when no dictionary is loaded or the entry is missing. The entry
// numbers are listed in docs/dictionary.md; the window's own entries follow.
#pragma once

#include <QString>

namespace gascal {

class ClsLingue;

enum class DataText : int {
    ProductTitle = 0,       // window captions and parameter files
    LambdaNoneName = 1,     // lambda type entry 0
    ParamFileTitle = 2,     // title of the parameter file boxes
    ParamFileBadLines = 3,  // some lines could not be read
    ParamFileNotWritten = 4,
};
inline constexpr int kDataTextCount = 5;

// The dictionary the data layer reads its texts from (may be null).
void SetDataDictionary(const ClsLingue* dictionary);
// The current language's text for the entry, or the English fallback.
QString Text(DataText id);
QString FallbackText(DataText id);

}  // namespace gascal
