// The scale configuration: keys, expert lists, calibration parameters and
// the three type-list readers, then every lookup the pages make.
#include "FuzzSupport.h"
#include "data/core/ScaleConfig.h"

using namespace gascal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Setup();
    const QString path = fuzz::WriteInput(QStringLiteral("LNG/ConfigScale.ini"), data, size);
    ScaleConfig c;
    c.Load(path);
    c.IniziaLevelGasType(path);
    c.IniziaTipoInj(path);
    c.IniziaTipoLambda(path, QStringLiteral("Lambda"));
    ScaleConfig::ReadKeyValue(path, QStringLiteral("[SL_4Cil]"));
    for (int i = -1; i <= static_cast<int>(c.GasLevelType.size()); ++i) {
        c.LevelAt(i);
        c.InjectorAt(i);
        c.LambdaAt(i);
    }
    for (int code = -1; code < 40; ++code) {
        c.LevelIndexByCode(code);
        c.InjectorIndexByCode(code);
        c.LambdaIndexByCode(code);
    }
    for (int n = -1; n <= kCalibrationParamCount + 1; ++n) c.CalParam(n);
    return 0;
}
