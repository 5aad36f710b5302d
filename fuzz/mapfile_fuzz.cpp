// Map files: read into the injection map, then the map step with the
// targets placed on a rising correction table, the markers and the report
// lines, as the map page does after "Open".
#include "FuzzSupport.h"
#include "ecu/InjectionMap.h"

using namespace gascal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Setup();
    const QString path = fuzz::WriteInput(QStringLiteral("map.txt"), data, size);
    InjectionMap map;
    if (!map.Open(path)) return 0;
    CorTableArray cor{};
    for (size_t i = 0; i < cor.size(); ++i) cor[i] = static_cast<double>(i % 92) * 0.11;
    map.Step(true, false, false, cor);
    map.Markers();
    TargetMarkers(map.Selected(), cor);
    MapReportLines(map.Mapped(), map.Selected());
    MapFileLines(map.Mapped());
    return 0;
}
