#include "mainwindow/controller/MainSession.h"

#include "common/Helpers.h"
#include "data/core/DataTexts.h"
#include "mainwindow/controller/Captions.h"

namespace gascal {

namespace {
constexpr int kCylindersBeforeFirstRead = 8;
}

MainSession::MainSession(const QString& installDir, PortProvider* provider) {
    SetInstallDir(installDir);
    scale.Load(SystemPath(QStringLiteral("\\LNG\\ConfigScale.ini")));
    lingue.SetPathDizionario(SystemPath(QStringLiteral("\\LNG\\M3.diz")));
    lingue.SetPathAttualeLingua(SystemPath(QStringLiteral("\\LNG\\M3.con")));
    lingue.LoadDizionario();
    SetDataDictionary(&lingue);
    if (provider) comm.SetPortProvider(provider);
    comm.SetFirmwareFileReader([this](QString& identity, QString* error) {
        return ReadFirmwareFileIdentity(flashTable, flashImage, identity, error);
    });
    comm.ReadSetCom(QStringLiteral("\\BIN\\SetCom.ini"));
    image.ApplyScale(scale);
    // Controls for eight injectors until block 3 tells the real count.
    image.Mem3Block.NumCylinders = kCylindersBeforeFirstRead;
    controller = std::make_unique<MainController>(comm, image, scale, lingue);
    SetAppTitle(controller->ProductTitle());
}

MainSession::~MainSession() {
    if (controller) {
        controller->Timer1().SetEnabled(false);
        controller->Timer2().SetEnabled(false);
    }
    controller.reset();
    comm.SetAnswerSink(nullptr);
    comm.CloseComPort();
    SetDataDictionary(nullptr);
}

void MainSession::LoadAndStart() {
    controller->Form_Load();
    controller->StartTimers();
}

}  // namespace gascal
