#include "data/core/ClsLingue.h"

#include "common/Helpers.h"
#include "common/TextFile.h"

namespace gascal {

namespace {
const QString kLanguageMark = QStringLiteral("###");
const QString kBlank = QStringLiteral("_BLANK_");
}  // namespace

ClsLingue::ClsLingue() : languages_(1) {}

void ClsLingue::LoadDizionario() {
    QStringList lines;
    if (FileExists(pathDizionario_) && ReadLatin1Lines(pathDizionario_, lines)) {
        uboundLingue_ = -1;
        languages_.assign(1, Language{});
        for (int i = 0; i < lines.size(); ++i) {
            const QString& line = lines[i];
            if (line.isEmpty()) continue;
            if (line == kLanguageMark) {
                if (i + 1 >= lines.size()) break;  // a mark on the last line starts nothing
                ++uboundLingue_;
                Language lang;
                lang.Number = uboundLingue_;
                lang.StoredName = lines[++i];
                if (uboundLingue_ < static_cast<int>(languages_.size()))
                    languages_[uboundLingue_] = lang;
                else
                    languages_.push_back(lang);
                continue;
            }
            // Lines before the first language belong to none.
            if (uboundLingue_ >= 0) languages_[uboundLingue_].Entries << line;
        }
    }

    if (FileExists(pathAttualeLingua_)) {
        // A choice beyond the last language, or a file that holds no
        // number at all, starts again from the first language.
        const int id = IdLingua();
        if (id > uboundLingue_ || id < 0) SetIdLingua(0);
    } else {
        // Next to the dictionary, same name with "con" for its last three letters.
        pathAttualeLingua_ =
            pathDizionario_.left(pathDizionario_.size() - 3) + QStringLiteral("con");
        if (!FileExists(pathAttualeLingua_))
            WriteLatin1Lines(pathAttualeLingua_, {QStringLiteral("0")});
        else if (IdLingua() > uboundLingue_ || IdLingua() < 0)
            SetIdLingua(0);
    }
}

bool ClsLingue::SaveDizionario() {
    if (!FileExists(pathDizionario_)) return false;
    QStringList out;
    for (int l = 0; l <= uboundLingue_ && l < static_cast<int>(languages_.size()); ++l) {
        out << kLanguageMark << languages_[l].StoredName;
        for (const QString& e : languages_[l].Entries) out << (e.isEmpty() ? kBlank : e);
    }
    return WriteLatin1Lines(pathDizionario_, out);
}

int ClsLingue::IdLingua() const {
    QStringList lines;
    if (!FileExists(pathAttualeLingua_) || !ReadLatin1Lines(pathAttualeLingua_, lines)) return -1;
    for (const QString& l : lines) {
        bool ok = false;
        const int v = l.trimmed().toInt(&ok);
        if (ok) return v;
    }
    return -1;
}

void ClsLingue::SetIdLingua(int id) {
    if (!FileExists(pathAttualeLingua_)) return;
    WriteLatin1Lines(pathAttualeLingua_, {QString::number(id)});
}

QString ClsLingue::NomeLingua(int id) const {
    if (id < 0 || id > uboundLingue_ || id >= static_cast<int>(languages_.size())) return {};
    const QString& n = languages_[id].StoredName;
    if (n.size() <= 1 || !n.startsWith(QLatin1Char('#'))) return {};
    return n.mid(1);
}

int ClsLingue::UboundVoci() const {
    return languages_.empty() ? -1 : languages_[0].Entries.size() - 1;
}

int ClsLingue::UboundVociLingua(int id) const {
    if (id < 0 || id >= static_cast<int>(languages_.size())) return -1;
    return languages_[id].Entries.size() - 1;
}

QString ClsLingue::VoceDizionario(int idLng, int idVoce) const {
    if (idLng < 0 || idVoce < 0 || idLng >= static_cast<int>(languages_.size())) return {};
    return languages_[idLng].Entries.value(idVoce);
}

void ClsLingue::SetVoceDizionario(int idLng, int idVoce, const QString& text) {
    if (idLng < 0 || idLng > uboundLingue_ || idVoce < 0 ||
        idLng >= static_cast<int>(languages_.size()))
        return;
    QStringList& e = languages_[idLng].Entries;
    while (e.size() <= idVoce) e << QString();
    e[idVoce] = text;
}

void ClsLingue::NuovaLingua(const QString& name) {
    for (int l = 0; l <= uboundLingue_ && l < static_cast<int>(languages_.size()); ++l)
        if (languages_[l].StoredName == name) return;
    int slot = -1;
    for (int l = 0; l < static_cast<int>(languages_.size()); ++l) {
        if (languages_[l].StoredName.isEmpty()) {
            slot = l;
            break;
        }
    }
    if (slot < 0) {
        slot = static_cast<int>(languages_.size());
        languages_.push_back({});
    }
    Language& lang = languages_[slot];
    lang.Number = slot;
    lang.StoredName = name;
    lang.Entries = QStringList{QString()};
    if (slot > uboundLingue_) uboundLingue_ = slot;
}

void ClsLingue::NuovaVoce(const QString& text, int idrow) {
    if (idrow < 0) return;
    for (Language& lang : languages_) {
        while (lang.Entries.size() < idrow) lang.Entries << QString();
        lang.Entries.insert(idrow, text);
    }
}

void ClsLingue::EliminaVoce(int idrow) {
    if (idrow < 0) return;
    for (Language& lang : languages_)
        if (idrow < lang.Entries.size()) lang.Entries.removeAt(idrow);
}

void ClsLingue::EliminaLingua(int id) {
    if (id < 0 || id > uboundLingue_ || id >= static_cast<int>(languages_.size())) return;
    languages_.erase(languages_.begin() + id);
    for (int l = 0; l < static_cast<int>(languages_.size()); ++l) languages_[l].Number = l;
    --uboundLingue_;
    if (languages_.empty()) languages_.push_back({});
}

int ClsLingue::FindDictionaryError() const {
    if (uboundLingue_ < 0) return -1;
    const int ref = UboundVociLingua(0);
    for (int l = 0; l <= uboundLingue_; ++l)
        if (UboundVociLingua(l) != ref) return l;
    return -1;
}

QString ClsLingue::DictionaryErrorText(int id) const {
    return QStringLiteral("Dictionary error: ") + NomeLingua(id);
}

}  // namespace gascal
