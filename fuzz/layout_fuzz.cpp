// The control layout file: the expert page's records, read with a page
// that has every control, and every value turned into what its property
// takes.
#include "FuzzSupport.h"
#include "mainwindow/controller/ControlLayout.h"

using namespace gascal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Setup();
    const QString path = fuzz::WriteInput(QStringLiteral("LNG/exp.cfg"), data, size);
    std::vector<LayoutRecord> records;
    // Every other control exists, so both the applied and the skipped
    // records are read.
    int asked = 0;
    ReadLayoutFile(
        path, QString::fromLatin1(kExpertLayoutStart), QString::fromLatin1(kExpertLayoutEnd),
        [&asked](const QString&, std::optional<int>) { return (asked++ % 2) == 0; }, records);
    for (const LayoutRecord& r : records) {
        for (const LayoutValue& v : r.values) {
            LayoutTruth(v.text);
            LayoutNumber(v.text);
        }
    }
    return 0;
}
