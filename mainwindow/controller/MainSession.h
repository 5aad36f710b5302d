// The start-up routine of the tool and the objects it creates for the life
// of the process: the scale configuration, the dictionary, the link object
// with its settings file, the parameter image and the main controller, in
// the order the tool needs them. The program (or a test) chooses the port
// provider and the communication log; the window is put on top afterwards.
#pragma once

#include <QString>
#include <memory>

#include "data/core/ClsLingue.h"
#include "data/core/ParamImage.h"
#include "data/core/ScaleConfig.h"
#include "link/core/ClsComm.h"
#include "link/firmware/FlashImage.h"
#include "link/firmware/FlashTable.h"
#include "mainwindow/controller/MainController.h"

namespace gascal {

class PortProvider;

class MainSession {
public:
    // Runs the start-up up to, not including, the window: installation
    // folder, scale configuration, dictionary, link object and
    // \BIN\SetCom.ini, parameter image defaults. `provider` (not owned) is
    // where ports come from; null means the machine's own ports.
    MainSession(const QString& installDir, PortProvider* provider);
    ~MainSession();

    // Form_Load of the controller, then Timer1 and Timer2 start.
    void LoadAndStart();

    ScaleConfig scale;
    ClsLingue lingue;
    ClsComm comm;
    ParamImage image;
    FlashTable flashTable;
    FlashImage flashImage;
    std::unique_ptr<MainController> controller;
};

}  // namespace gascal
