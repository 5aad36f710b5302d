// Small builders shared by the main window's pages: the read-only value
// boxes of the live display, the display-only status boxes, the plain
// shapes, and filling a widget's background.
#pragma once

#include <QColor>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QString;
class QWidget;

namespace gascal {

// A read-only, right-aligned value box in a fixed-width font, wide enough
// for `chars` digits; `big` for the large live digits.
QLineEdit* ValueBox(QWidget* parent, const char* name, int chars, bool big = false);
// A status box the user cannot tick (KEY, EV 1, GAS/BNZ, RUN/SLV); its
// background follows SetBoxFill.
QCheckBox* StatusBox(QWidget* parent, const char* name, const QString& caption);
// A bordered shape of a fixed size.
QFrame* Shape(QWidget* parent, const char* name, int w, int h);
// Background colour of a widget that fills its background (nothing is
// repainted when it has that colour already).
void Fill(QWidget* w, const QColor& c);
// Text of a box or label; nothing is repainted when it shows that already.
void SetText(QLineEdit* e, const QString& text);
void SetText(QLabel* l, const QString& text);

}  // namespace gascal
