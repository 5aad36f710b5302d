// Pictures of the secondary windows for the documentation (hidden option
// --screenshot-window of `gascal --sim`): a fitter's hands that drive the
// window to the moment worth a picture, save it and end the program.
//   FrmUpdate   an ECU with an older firmware: "Next", "Next", the picture
//               while the firmware is being written, then the upgrade ends
//               and the program closes.
//   FrmStartUp  an ECU with the file's version dated earlier: the offered
//               upgrade is declined, the About box opened from the Info menu,
//               the picture taken.
#pragma once

#include <QObject>
#include <QString>

class QTimer;

namespace gascal {

class MainSession;

class WindowShot : public QObject {
  public:
    WindowShot(MainSession& session, QString window, QString file, QObject* parent = nullptr);
    // The windows it drives; any other window is opened by name and pictured
    // after the given time.
    static bool Drives(const QString& window) {
        return window == QLatin1String("FrmUpdate") || window == QLatin1String("FrmStartUp");
    }
    // The exit code: 0 once the picture was saved.
    int Result() const { return saved_ ? 0 : 1; }

  private:
    void Act();    // presses buttons (may run a whole upgrade inside)
    void Watch();  // takes the picture meanwhile
    void Save(class QWidget* w);

    MainSession& session_;
    QString window_, file_;
    QTimer* actor_;
    QTimer* watcher_;
    bool saved_ = false;
    bool aboutOpened_ = false;
    bool closing_ = false;
};

}  // namespace gascal
