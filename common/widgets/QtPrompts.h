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

// A file filter of the system's form ("Mod Files (*.var)|*.var|") as the Qt
// file dialog takes it ("Mod Files (*.var)"); a filter without bars is kept.
QString QtFileFilter(const QString& filter);

// Screen twips are converted at 15 twips a pixel (96 dots an inch).
constexpr int TwipsPerPixel = 15;
inline int TwipsToPixels(int twips) { return twips / TwipsPerPixel; }

// Centres the window on its screen, 450 twips above the middle (never above
// the top edge).
void CentreWindow(QWidget* window);
// Makes every child control visible; controls that cannot be shown are skipped.
void ShowAllControls(QWidget* window);

}  // namespace gascal
