// The language dictionary. Every text the tool shows exists in several
// languages as numbered entries: entry k of every language is the same text
// translated, and entry 0 is the product title. The dictionary file
// (\LNG\M3.diz) holds the languages; the current-language file (\LNG\M3.con)
// holds the index of the language in use, read at each call so nothing
// caches it.
//
// Dictionary file: a line "###" starts a language, the next line is its name
// written with a leading "#", and every following non-empty line is the next
// entry. An empty entry is written "_BLANK_".
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

namespace gascal {

class ClsLingue {
  public:
    struct Language {
        int Number = 0;
        QString StoredName;  // as read, with the leading "#"
        QStringList Entries;
    };

    ClsLingue();

    QString PathDizionario() const { return pathDizionario_; }
    void SetPathDizionario(const QString& p) { pathDizionario_ = p; }
    QString PathAttualeLingua() const { return pathAttualeLingua_; }
    void SetPathAttualeLingua(const QString& p) { pathAttualeLingua_ = p; }

    void LoadDizionario();
    // Rewrites the dictionary file (only when it exists). False when it
    // could not be written (the old file then stays).
    bool SaveDizionario();

    // Index of the current language from the current-language file; -1 when
    // the file is missing or holds no number.
    int IdLingua() const;
    // Writes the current language (only when the file exists).
    void SetIdLingua(int id);

    QString NomeLingua(int id) const;
    int UboundLingue() const { return uboundLingue_; }
    int UboundVoci() const;
    int UboundVociLingua(int id) const;
    QString VoceDizionario(int idLng, int idVoce) const;
    void SetVoceDizionario(int idLng, int idVoce, const QString& text);
    // Entry of the current language (empty when there is none).
    QString Voce(int idVoce) const { return VoceDizionario(IdLingua(), idVoce); }

    void NuovaLingua(const QString& name);
    void NuovaVoce(const QString& text, int idrow);
    void EliminaVoce(int idrow);
    void EliminaLingua(int id);

    // The first language whose last entry index differs from language 0's,
    // or -1 when all agree (or there is no language).
    int FindDictionaryError() const;
    // Text of the box the main window shows for such a language.
    QString DictionaryErrorText(int id) const;

  private:
    QString pathDizionario_;
    QString pathAttualeLingua_;
    std::vector<Language> languages_;
    int uboundLingue_ = -1;
};

}  // namespace gascal
