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
    // Checking a parameter file before it is loaded or compared.
    ParamFileNotParams = 5,    // neither a block line nor a table section
    ParamFileOutOfRange = 6,   // values the ECU cannot hold (refused)
    ParamFileMissing = 7,      // what the file does not hold
    ParamFileMalformed = 8,    // lines that cannot be read
    ParamFileRefused = 9,      // nothing was loaded
    ParamFileAskPartial = 10,  // question: load only what the file holds?
    // Changes the ECU holds in its working memory only.
    NotStored = 11,        // status bar cell
    StoreInEcu = 12,       // File menu entry
    StoreAskClose = 13,    // question before closing
    StoreAskOffline = 14,  // question before going offline
    StoreFailed = 15,      // the ECU did not confirm
    // A configuration loaded while offline.
    FileValuesShown = 16,      // status bar cell: the values shown are the file's
    AskWritePending = 17,      // question when the ECU is back
    NotInFile = 18,            // comparison: what a partial file does not hold
    StoreAskCalibration = 19,  // question at the end of an automatic calibration
    // A correction-table write cut short: the entries the ECU may hold old follow.
    TableIncomplete = 20,  // status bar cell
};
inline constexpr int kDataTextCount = 21;

// The dictionary the data layer reads its texts from (may be null).
void SetDataDictionary(const ClsLingue* dictionary);
// The current language's text for the entry, or the English fallback.
QString Text(DataText id);
QString FallbackText(DataText id);

}  // namespace gascal
