#include "ecu/ErrorMask.h"

#include <algorithm>

#include "data/core/ParamImage.h"
#include "data/core/ScaleConfig.h"

namespace gascal {

ErrorMask InstallationIgnoreMask(const ParamImage& image, const ScaleConfig& scale,
                                 int definitions) {
    ErrorMask mask{};
    const auto ignore = [&mask](int item) {
        mask[static_cast<size_t>(item)] = true;
        mask[static_cast<size_t>(item + kErrorItems)] = true;
    };
    for (int k = std::max(definitions, 0); k < kErrorItems; ++k) ignore(k);

    const auto& m3 = image.Mem3Block;
    // Injectors: only those below the cylinder count that the ECU drives.
    for (int k = 0; k < kErrItemInjectors; ++k) {
        if (k >= m3.NumCylinders || m3.InjEnable[static_cast<size_t>(k)] == 0)
            ignore(ERRITEM_INJECTOR_1 + k);
    }
    // The second gas valve only where the installation has one.
    if (!scale.CkbeV02Visible) ignore(ERRITEM_VALVE_2);
    // Lambda: entry 0 of the lambda types is the installation without a
    // lambda sensor (code 0 also when the list has lost it).
    const int lambda = scale.LambdaIndexByCode(m3.LambdaTypeCode);
    if (lambda == 0 || (lambda < 0 && m3.LambdaTypeCode == 0)) ignore(ERRITEM_LAMBDA_SENSOR);
    // Level: no level sensor type of the installation chosen.
    if (scale.LevelIndexByCode(m3.LevelTypeCode) < 0) ignore(ERRITEM_LEVEL_SENSOR);
    return mask;
}

}  // namespace gascal
