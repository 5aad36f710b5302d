#include "mainwindow/widgets/WidgetKit.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>

namespace gascal {

QLineEdit* ValueBox(QWidget* parent, const char* name, int chars, bool big) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setReadOnly(true);
    e->setFocusPolicy(Qt::NoFocus);
    e->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont f = e->font();
    f.setFamily(QStringLiteral("Monospace"));
    f.setStyleHint(QFont::TypeWriter);
    if (big) {
        f.setPointSizeF(f.pointSizeF() * 1.8);
        f.setBold(true);
    }
    e->setFont(f);
    e->setMinimumWidth(QFontMetrics(f).horizontalAdvance(QString(chars + 1, QLatin1Char('0'))) + 8);
    return e;
}

QCheckBox* StatusBox(QWidget* parent, const char* name, const QString& caption) {
    auto* b = new QCheckBox(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    // Display only: the user cannot tick it.
    b->setAttribute(Qt::WA_TransparentForMouseEvents);
    b->setFocusPolicy(Qt::NoFocus);
    // A button fills with its button colour; the status boxes show their
    // state in the background (shadow when ticked), so they fill with the
    // window colour that Fill sets.
    b->setBackgroundRole(QPalette::Window);
    b->setAutoFillBackground(true);
    return b;
}

QFrame* Shape(QWidget* parent, const char* name, int w, int h) {
    auto* f = new QFrame(parent);
    f->setObjectName(QString::fromLatin1(name));
    f->setFixedSize(w, h);
    f->setFrameShape(QFrame::Box);
    f->setAutoFillBackground(true);
    return f;
}

void Fill(QWidget* w, const QColor& c) {
    if (w->palette().color(QPalette::Window) == c) return;
    QPalette p = w->palette();
    p.setColor(QPalette::Window, c);
    w->setPalette(p);
}

void SetText(QLineEdit* e, const QString& text) {
    if (e->text() != text) e->setText(text);
}

void SetText(QLabel* l, const QString& text) {
    if (l->text() != text) l->setText(text);
}

}  // namespace gascal
