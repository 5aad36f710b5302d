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
