// The secondary windows that the main window opens but that other parts of
// the tool provide: the firmware upgrade window, the About box, the ECU
// error window and the device pages. The main controller calls them through
// this interface; a window or page that is not part of this version answers
// plainly that the function is not available yet (NotAvailableFeatures).
#pragma once

#include <QString>

namespace gascal {

class FeatureWindows {
public:
    virtual ~FeatureWindows() = default;
    // Runs the firmware upgrade modally. `offered`: the ECU works with its
    // firmware and the user may decline; otherwise the upgrade is needed.
    // True when the ECU is online afterwards.
    virtual bool RunUpgradeWindow(bool offered) = 0;
    virtual void ShowAbout() = 0;
    virtual void ShowErrorWindow() = 0;
    virtual void OpenInjectorPage() = 0;
    virtual void OpenLevelPage() = 0;
    virtual void OpenExpertPage() = 0;
};

// Tells the user, through the prompts, that a function is not in this
// version yet, naming it; nothing else happens.
class NotAvailableFeatures : public FeatureWindows {
public:
    explicit NotAvailableFeatures(QString messagePrefix = QString());
    void SetMessagePrefix(const QString& p) { prefix_ = p; }
    bool RunUpgradeWindow(bool offered) override;
    void ShowAbout() override;
    void ShowErrorWindow() override;
    void OpenInjectorPage() override;
    void OpenLevelPage() override;
    void OpenExpertPage() override;
    int Shown() const { return shown_; }

private:
    void Tell(const QString& what);
    QString prefix_;
    int shown_ = 0;
};

}  // namespace gascal
