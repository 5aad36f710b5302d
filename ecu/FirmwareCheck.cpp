#include "ecu/FirmwareCheck.h"

#include <tuple>

#include "link/core/FirmwareIdentity.h"

namespace gascal {

FirmwareVerdict JudgeFirmware(const QString& ecu, const QString& file) {
    const QString fileCode = IdentityDescWord(file, 2).toUpper();
    if (!fileCode.isEmpty() && IdentityDescWord(ecu, 2).toUpper() != fileCode)
        return FirmwareVerdict::Incompatible;
    // The ECU's version counts its leading digits; the file's only when all
    // four are digits.
    const int ecuV = IdentityVersNum(ecu, false);
    const int fileV = IdentityVersNum(file, true);
    if (ecuV < fileV) return FirmwareVerdict::UpgradeNeeded;
    if (ecuV > fileV) return FirmwareVerdict::EcuNewer;
    const auto date = [](const QString& t) {
        return std::make_tuple(IdentityYearNum(t), IdentityMonthNum(t), IdentityDayNum(t));
    };
    return date(file) > date(ecu) ? FirmwareVerdict::UpgradeOffered : FirmwareVerdict::Accepted;
}

QString DescribeFirmwares(const QString& ecu, const QString& file, const QString& ecuCaption,
                          const QString& fileCaption) {
    const auto line = [](const QString& caption, const QString& t) {
        return QStringLiteral("%1: %2 %3 %4")
            .arg(caption, IdentityVersStr(t), IdentityDataStr(t),
                 IdentityDescWord(t, 1).trimmed() + QLatin1Char(' ') +
                     IdentityDescWord(t, 2).trimmed());
    };
    return line(ecuCaption, ecu) + QLatin1Char('\n') + line(fileCaption, file);
}

}  // namespace gascal
