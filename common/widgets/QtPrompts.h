// Qt dialogs behind the prompts interface, and the window helpers that need
// widgets (centring a window, showing every control).
#pragma once

#include <QWidget>

#include "common/Prompts.h"

namespace gascal {

class QtPrompts : public Prompts {
  public:
    explicit QtPrompts(QWidget* parent = nullptr) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }
    BoxResult MessageBox(const QString& text, const QString& title, BoxIcon icon,
                         BoxButtons buttons) override;
    QString OpenFile(const FileDialogRequest& req) override;
    QString SaveFile(const FileDialogRequest& req) override;

  private:
    QWidget* parent_;
};

// The prompts of one window: the process's prompts as they were when the
// window was made, with the Qt dialogs over `window` instead of the main
// window (which they would bring up over the window the fitter works in).
class WindowPrompts : public Prompts {
  public:
    explicit WindowPrompts(QWidget* window);
    BoxResult MessageBox(const QString& text, const QString& title, BoxIcon icon,
                         BoxButtons buttons) override;
    QString OpenFile(const FileDialogRequest& req) override;
    QString SaveFile(const FileDialogRequest& req) override;
    // The prompts the window's questions go to.
    Prompts& Target();

  private:
    QWidget* window_;
    Prompts* base_;
    QtPrompts own_;
};

// A file filter of the system's form ("Mod Files (*.var)|*.var|") as the Qt
// file dialog takes it ("Mod Files (*.var)"); a filter without bars is kept.
QString QtFileFilter(const QString& filter);
// The extension a saved name takes when typed without one: that of the
// filter's first "*.ext" pattern ("var" for "Mod Files (*.var)|*.var|").
QString FilterSuffix(const QString& filter);

// Screen twips are converted at 15 twips a pixel (96 dots an inch).
constexpr int TwipsPerPixel = 15;
inline int TwipsToPixels(int twips) {
    return twips / TwipsPerPixel;
}

// Centres the window on its screen, 450 twips above the middle (never above
// the top edge).
void CentreWindow(QWidget* window);
// Makes every child control visible; controls that cannot be shown are skipped.
void ShowAllControls(QWidget* window);

}  // namespace gascal
