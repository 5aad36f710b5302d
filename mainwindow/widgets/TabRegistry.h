// The pages of the main window's tab control, found by tab index: each page
// registers its factory in its own source file (TabRegistration), so a new
// page plugs into the window without editing the window. A tab whose page
// is not part of this build shows a short notice instead.
#pragma once

#include <functional>

class QWidget;

namespace gascal {

class MainSession;

// What a page is built over: the window's session (ECU session, polling
// cycle, the window's models).
struct PageContext {
    MainSession& session;
};

using PageFactory = std::function<QWidget*(PageContext&, QWidget* parent)>;

class TabRegistry {
  public:
    static void Register(int tab, PageFactory factory);
    // Null when no page is registered for the tab.
    static const PageFactory* Find(int tab);
};

struct TabRegistration {
    TabRegistration(int tab, PageFactory factory) {
        TabRegistry::Register(tab, std::move(factory));
    }
};

}  // namespace gascal
