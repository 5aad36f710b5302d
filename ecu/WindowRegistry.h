// The tool's secondary windows, found by name: the firmware upgrade window
// ("FrmUpdate"), the About box ("FrmStartUp"), the error list
// ("FrmErrEcu"), the expert page ("FrmSetExpert"), the signal viewer
// ("FrmView"), the injector and level pages ("FrmInjSet",
// "FrmLevelSetting"). Each window registers its opener in its own source
// file (WindowRegistration), so a new window plugs in without editing any
// list; the main window opens what is registered and tells the user when a
// function is not there.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

namespace gascal {

class EcuSession;
class PollingCycle;

struct WindowContext {
    EcuSession& session;
    PollingCycle& cycle;
    QWidget* owner;    // the main window
    int argument = 0;  // FrmUpdate: 1 when the upgrade is only offered
};

// Opens the window; the result is the window's own (FrmUpdate: 1 when the
// ECU is online afterwards).
using WindowOpener = std::function<int(WindowContext&)>;

class WindowRegistry {
  public:
    static void Register(const QString& name, WindowOpener open);
    // Null when no window of that name is part of this build.
    static const WindowOpener* Find(const QString& name);
    // Every window of this build, by name.
    static QStringList Names();
};

// Registers a window at start-up: one static object per window's source file.
struct WindowRegistration {
    WindowRegistration(const char* name, WindowOpener open) {
        WindowRegistry::Register(QString::fromLatin1(name), std::move(open));
    }
};

}  // namespace gascal
