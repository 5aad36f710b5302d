#include "data/core/DataTexts.h"

#include "data/core/ClsLingue.h"

namespace gascal {

namespace {
const ClsLingue* g_dictionary = nullptr;
}  // namespace

void SetDataDictionary(const ClsLingue* dictionary) {
    g_dictionary = dictionary;
}

QString FallbackText(DataText id) {
    switch (id) {
        case DataText::ProductTitle:
            return QStringLiteral("GasCal gas injection calibration");
        case DataText::LambdaNoneName:
            return QStringLiteral("No lambda sensor");
        case DataText::ParamFileTitle:
            return QStringLiteral("Parameter file");
        case DataText::ParamFileBadLines:
            return QStringLiteral(
                "Some lines of the parameter file could not be read. The values they hold were "
                "left as they were:");
        case DataText::ParamFileNotWritten:
            return QStringLiteral("The parameter file could not be written:");
        case DataText::ParamFileNotParams:
            return QStringLiteral(
                "This is not a parameter file: it holds no block line and no table section.");
        case DataText::ParamFileOutOfRange:
            return QStringLiteral("Values the ECU cannot hold:");
        case DataText::ParamFileMissing:
            return QStringLiteral("Not in the file (the ECU keeps its own):");
        case DataText::ParamFileMalformed:
            return QStringLiteral("Lines that cannot be read (the ECU keeps its own values):");
        case DataText::ParamFileRefused:
            return QStringLiteral(
                "The parameter file was not loaded; nothing was sent to the ECU.");
        case DataText::ParamFileAskPartial:
            return QStringLiteral("Load only what the file holds?");
        case DataText::NotStored:
            return QStringLiteral("Not stored in ECU");
        case DataText::StoreInEcu:
            return QStringLiteral("Store in ECU");
        case DataText::StoreAskClose:
            return QStringLiteral(
                "The ECU holds changes that are not stored: its next reset loses them. Store "
                "them in the ECU before closing?");
        case DataText::StoreAskOffline:
            return QStringLiteral(
                "The ECU holds changes that are not stored: its next reset loses them. Store "
                "them in the ECU before going offline?");
        case DataText::StoreFailed:
            return QStringLiteral("The ECU did not confirm the store: the changes are not stored.");
        case DataText::FileValuesShown:
            return QStringLiteral("Values of the file, not of the ECU");
        case DataText::NotInFile:
            return QStringLiteral("not in the file");
        case DataText::StoreAskCalibration:
            return QStringLiteral(
                "The calibration's result is in the ECU's working memory only: its next reset "
                "loses it. Store it in the ECU now?");
        case DataText::TableIncomplete:
            return QStringLiteral("Correction table not complete in the ECU:");
        case DataText::AskWritePending:
            return QStringLiteral(
                "A configuration was loaded while offline and has not been written to the ECU. "
                "Write it to the ECU now?");
    }
    return QString();
}

QString Text(DataText id) {
    if (g_dictionary) {
        const QString t = g_dictionary->Voce(static_cast<int>(id));
        if (!t.isEmpty()) return t;
    }
    return FallbackText(id);
}

}  // namespace gascal
