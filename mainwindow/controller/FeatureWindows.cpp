#include "mainwindow/controller/FeatureWindows.h"

#include "common/Helpers.h"
#include "common/Prompts.h"

namespace gascal {

NotAvailableFeatures::NotAvailableFeatures(QString messagePrefix)
    : prefix_(messagePrefix.isEmpty()
                  ? QStringLiteral("This function is not available in this version yet:")
                  : std::move(messagePrefix)) {}

void NotAvailableFeatures::Tell(const QString& what) {
    ++shown_;
    UserPrompts().Message(prefix_ + QLatin1Char(' ') + what, AppTitle(), BoxIcon::Information);
}

bool NotAvailableFeatures::RunUpgradeWindow(bool) {
    Tell(QStringLiteral("firmware upgrade"));
    return false;
}
void NotAvailableFeatures::ShowAbout() { Tell(QStringLiteral("About")); }
void NotAvailableFeatures::ShowErrorWindow() { Tell(QStringLiteral("ECU error list")); }
void NotAvailableFeatures::OpenInjectorPage() { Tell(QStringLiteral("injector settings page")); }
void NotAvailableFeatures::OpenLevelPage() { Tell(QStringLiteral("level sensor settings page")); }
void NotAvailableFeatures::OpenExpertPage() { Tell(QStringLiteral("expert settings page")); }

}  // namespace gascal
