// The language dictionary and the current-language file: the first byte
// is the language number written to the current-language file, the rest
// the dictionary. Every entry of every language is then looked up.
#include "FuzzSupport.h"
#include "data/core/ClsLingue.h"

using namespace gascal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Setup();
    if (size == 0) return 0;
    const QByteArray id = QByteArray::number(static_cast<int>(data[0] % 4) - 1);
    const QString con = fuzz::WriteInput(
        QStringLiteral("LNG/M3.con"), reinterpret_cast<const uint8_t*>(id.constData()), id.size());
    const QString diz = fuzz::WriteInput(QStringLiteral("LNG/M3.diz"), data + 1, size - 1);
    ClsLingue l;
    l.SetPathDizionario(diz);
    l.SetPathAttualeLingua(con);
    l.LoadDizionario();
    const int langs = l.UboundLingue();
    for (int lang = -1; lang <= langs + 1; ++lang) {
        l.NomeLingua(lang);
        const int entries = l.UboundVociLingua(lang);
        for (int e = -1; e <= entries + 1 && e < 2000; ++e) l.VoceDizionario(lang, e);
    }
    l.UboundVoci();
    l.Voce(0);
    l.Voce(200);
    return 0;
}
