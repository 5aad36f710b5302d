// Every text of every window in both shipped languages: the dictionary's
// languages hold the same entries, and no window of this build shows an
// empty caption, a placeholder, or a text of the other language (an entry
// missing from the dictionary shows its English fallback).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSet>
#include <QTabBar>
#include <QTabWidget>

#include "common/EventService.h"
#include "data/core/ClsLingue.h"
#include "data/core/ParamFile.h"
#include "ecu/WindowRegistry.h"
#include "mainwindow/widgets/FrmKT540.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

constexpr int kEnglish = 0;
constexpr int kItalian = 1;

ClsLingue ShippedDictionary() {
    ClsLingue l;
    l.SetPathDizionario(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG/M3.diz"));
    l.LoadDizionario();
    return l;
}

bool IsPlaceholder(const QString& entry) {
    return entry == QLatin1String("-");
}

QSet<QString> Entries(const ClsLingue& l, int lang) {
    QSet<QString> set;
    for (int i = 0; i <= l.UboundVociLingua(lang); ++i)
        set.insert(l.VoceDizionario(lang, i).trimmed());
    return set;
}

QString Plain(QString text) {
    return text.remove(QLatin1Char('&')).trimmed();
}

// Walks the visible widgets of the tool's windows and writes down every
// text that could not be the dictionary's own in the language shown.
class TextAudit {
  public:
    TextAudit(const ClsLingue& dict, int lang)
        : own_(Entries(dict, lang)),
          other_(Entries(dict, lang == kEnglish ? kItalian : kEnglish)) {}

    void Window(QWidget* top, const QString& where) {
        if (Plain(top->windowTitle()).isEmpty())
            problems_ << where + QStringLiteral(": window without a caption");
        for (QWidget* w : top->findChildren<QWidget*>()) {
            if (!w->isVisibleTo(top)) continue;
            const QString name =
                where + QLatin1Char('/') +
                (w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className())
                                           : w->objectName());
            if (auto* b = qobject_cast<QAbstractButton*>(w)) {
                if (Plain(b->text()).isEmpty() && b->icon().isNull() &&
                    Plain(b->toolTip()).isEmpty())
                    problems_ << name + QStringLiteral(": button without a caption");
                // The viewer's time-base button shows a minus of its own.
                if (b->objectName() != QLatin1String("CmdSecDivM")) Text(name, b->text());
            } else if (auto* l = qobject_cast<QLabel*>(w)) {
                Text(name, l->text());
            } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
                Text(name, g->title());
            } else if (auto* t = qobject_cast<QTabBar*>(w)) {
                for (int i = 0; i < t->count(); ++i) {
                    if (Plain(t->tabText(i)).isEmpty())
                        problems_ << name + QStringLiteral(": tab without a caption");
                    Text(name, t->tabText(i));
                }
            } else if (auto* m = qobject_cast<QMenuBar*>(w)) {
                for (QAction* a : m->actions()) Menu(name, a);
            }
            if (!w->toolTip().isEmpty()) Text(name + QStringLiteral(" (tooltip)"), w->toolTip());
        }
    }

    const QStringList& Problems() const { return problems_; }

  private:
    void Menu(const QString& where, QAction* a) {
        if (a->isSeparator() || !a->isVisible()) return;
        if (Plain(a->text()).isEmpty())
            problems_ << where + QStringLiteral(": menu item without a caption");
        Text(where + QLatin1Char('/') + Plain(a->text()), a->text());
        if (QMenu* sub = a->menu())
            for (QAction* s : sub->actions()) Menu(where + QLatin1Char('/') + Plain(a->text()), s);
    }

    void Text(const QString& where, const QString& raw) {
        const QString text = Plain(raw);
        if (text == QLatin1String("-") || text == QLatin1String("_BLANK_"))
            problems_ << where + QStringLiteral(": shows a dictionary placeholder");
        // A whole entry of the other language that this language lacks is a
        // text the window took from the wrong language or from a fallback.
        if (text.size() >= 4 && other_.contains(text) && !own_.contains(text))
            problems_ << where + QStringLiteral(": \"") + text +
                             QStringLiteral("\" is not in this language");
    }

    QSet<QString> own_, other_;
    QStringList problems_;
};

}  // namespace

TEST(Languages, BothLanguagesHoldTheSameEntries) {
    const ClsLingue l = ShippedDictionary();
    ASSERT_EQ(l.UboundLingue(), kItalian);
    EXPECT_EQ(l.FindDictionaryError(), -1);
    ASSERT_EQ(l.UboundVociLingua(kEnglish), l.UboundVociLingua(kItalian));
    // An entry is a free placeholder in both languages or a text in both.
    for (int i = 0; i <= l.UboundVociLingua(kEnglish); ++i) {
        const QString en = l.VoceDizionario(kEnglish, i), it = l.VoceDizionario(kItalian, i);
        EXPECT_EQ(IsPlaceholder(en), IsPlaceholder(it))
            << "entry " << i << ": " << en.toStdString() << " / " << it.toStdString();
        EXPECT_FALSE(en.trimmed().isEmpty()) << "entry " << i;
        EXPECT_FALSE(it.trimmed().isEmpty()) << "entry " << i;
    }
}

// The main window with each tab shown, then every window this build
// registers, in English and in Italian, on the simulated ECU.
TEST(Languages, NoWindowShowsAnEmptyCaptionOrAMissingEntry) {
    const ClsLingue dict = ShippedDictionary();
    const QStringList windows = WindowRegistry::Names();
    ASSERT_GE(windows.size(), 5) << windows.join(QLatin1Char(' ')).toStdString();
    for (int lang : {kEnglish, kItalian}) {
        SCOPED_TRACE(dict.NomeLingua(lang).toStdString());
        SimSession s;
        TextAudit audit(dict, lang);
        QSet<QString> seen;
        bool auditing = false;  // from the language switch on
        auto lookAndClose = [&] {
            for (QWidget* top : QApplication::topLevelWidgets()) {
                if (!windows.contains(top->objectName()) || !top->isVisible()) continue;
                if (auditing) {
                    audit.Window(top, top->objectName());
                    seen.insert(top->objectName());
                }
                top->close();
            }
        };
        // A modal window (the upgrade offered at connection, the About box)
        // runs its own wait: it is looked at and closed from the event loop.
        Timer watcher("audit", 100, [&] {
            if (QApplication::activeModalWidget() || QApplication::modalWindow()) lookAndClose();
            for (QWidget* top : QApplication::topLevelWidgets())
                if (top->isVisible() && top->isModal() && windows.contains(top->objectName()))
                    lookAndClose();
        });
        watcher.SetEnabled(true);

        auto w = std::make_unique<FrmKT540>(*s.session);
        w->show();
        ASSERT_TRUE(s.StartAndGoOnline());
        for (QAction* a : w->findChildren<QAction*>())
            if (a->text() == s.lingue().NomeLingua(lang)) a->trigger();
        ASSERT_EQ(s.lingue().IdLingua(), lang);
        auditing = true;
        s.RunFor(1);

        for (int tab = 0; tab < w->Tabs()->count(); ++tab) {
            w->Tabs()->setCurrentIndex(tab);
            s.RunFor(0.5);
            audit.Window(w.get(), QStringLiteral("FrmKT540 tab %1").arg(tab));
        }
        // A window that asks for a file first (the comparison with a
        // parameter file) is given one saved from this ECU.
        const QString paramFile = s.root + QStringLiteral("/audit.var");
        ASSERT_TRUE(
            SaveParamFile(paramFile, s.image(), s.tool().EcuVersion(), s.tool().ProductTitle()));
        for (const QString& name : windows) {
            WindowContext context{s.tool(), s.cycle(), w.get(), 0};
            s.prompts.files.push_back(paramFile);
            (*WindowRegistry::Find(name))(context);
            s.prompts.files.clear();
            s.RunFor(0.5);
            lookAndClose();
            EXPECT_TRUE(seen.contains(name)) << name.toStdString() << " did not open";
            s.RunFor(0.2);
        }
        EXPECT_TRUE(audit.Problems().isEmpty())
            << audit.Problems().join(QLatin1Char('\n')).toStdString();
        watcher.SetEnabled(false);
        w->close();
        s.RunFor(1);
    }
}
