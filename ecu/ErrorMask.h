// Which of the ECU's error items the main window ignores for this
// installation: an error reported for a part that is not fitted (an injector
// beyond the cylinder count or switched off, the second gas valve when the
// installation has none, the lambda or level sensor when no type is chosen)
// means nothing to the fitter and must not light the "Errori" button. Items
// the dictionary does not define are ignored as well: the tool has no name
// for them and the error window has no row to show them in.
#pragma once

#include "data/errors/EcuErrors.h"

namespace gascal {

class ParamImage;
class ScaleConfig;

// The ECU's error items (present byte k, stored byte k + 32).
enum EcuErrorItem : int {
    ERRITEM_GAS_PRESSURE_SENSOR = 0,
    ERRITEM_REDUCER_TEMP_SENSOR = 1,
    ERRITEM_GAS_TEMP_SENSOR = 2,
    ERRITEM_MANIFOLD_PRESSURE_SENSOR = 3,
    ERRITEM_LAMBDA_SENSOR = 4,
    ERRITEM_LEVEL_SENSOR = 5,
    ERRITEM_SUPPLY_VOLTAGE = 6,
    ERRITEM_LOW_GAS_PRESSURE = 7,
    ERRITEM_INJECTOR_1 = 8,  // injector k (0..7) is item 8 + k
    ERRITEM_VALVE_1 = 16,
    ERRITEM_VALVE_2 = 17,
};
inline constexpr int kErrItemInjectors = 8;

// The 64-entry ignore mask (true = ignore) from the image's block 3 and the
// scale configuration; an item is masked in its present and stored byte.
// `definitions` is the number of error items the dictionary defines.
ErrorMask InstallationIgnoreMask(const ParamImage& image, const ScaleConfig& scale,
                                 int definitions);

}  // namespace gascal
