// The ECU session: what every front end (the window, gascal-cli, the tests
// and the benches) starts in the same way. It runs the start-up up to the
// window and owns, for the life of the session, the scale configuration,
// the dictionary, the link object with its settings file, the parameter
// image, the flash table and image of the firmware file, the request bridge
// between link and image, the link supervision model (Device menu, status
// cells), the link timer, and the injection map and line model that the
// Map and Modeling tabs and gascal-cli work on (the line model is the
// editing form of the image's correction table, so it lives beside it).
//
// The link timer (Timer1, 1 ms) runs the link supervision step. Between link
// work it sleeps, woken by port data and link changes; while the link is
// stopped it ticks every millisecond. A front end that has work of its own
// on that tick (the polling cycle's link reset, the window's port menu) adds
// it with OnLinkTick.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "common/EventService.h"
#include "data/core/ClsLingue.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "data/core/ScaleConfig.h"
#include "ecu/Captions.h"
#include "ecu/InjectionMap.h"
#include "ecu/ModelEditor.h"
#include "ecu/RequestBridge.h"
#include "link/core/ClsComm.h"
#include "link/core/LinkSupervisor.h"
#include "link/firmware/FlashImage.h"
#include "link/firmware/FlashTable.h"

namespace gascal {

class PortProvider;

inline constexpr int kLinkTimerMs = 1;
inline constexpr const char* kSetComIniPath = "\\BIN\\SetCom.ini";
inline constexpr const char* kScaleFilePath = "\\LNG\\ConfigScale.ini";
inline constexpr const char* kDefaultSetPath = "\\LNG\\Default.Xar";

class EcuSession {
  public:
    // Start-up up to the window: installation folder and decimal separator,
    // scale configuration, dictionary, link object and \BIN\SetCom.ini,
    // parameter image defaults. `provider` (not owned) is where ports come
    // from; null means the machine's own ports.
    EcuSession(const QString& installDir, PortProvider* provider);
    ~EcuSession();
    EcuSession(const EcuSession&) = delete;
    EcuSession& operator=(const EcuSession&) = delete;

    ScaleConfig& Scale() { return scale_; }
    const ScaleConfig& Scale() const { return scale_; }
    ClsLingue& Lingue() { return lingue_; }
    const ClsLingue& Lingue() const { return lingue_; }
    ClsComm& Comm() { return comm_; }
    const ClsComm& Comm() const { return comm_; }
    ParamImage& Image() { return image_; }
    const ParamImage& Image() const { return image_; }
    FlashTable& Flash() { return flashTable_; }
    FlashImage& FirmwareImage() { return flashImage_; }
    RequestBridge& Requests() { return *requests_; }
    LinkSupervisor& Supervisor() { return *supervisor_; }
    Timer& LinkTimer() { return linkTimer_; }
    // The line model of the correction table and the injection map.
    ModelEditor& Model() { return model_; }
    const ModelEditor& Model() const { return model_; }
    InjectionMap& Map() { return map_; }
    const InjectionMap& Map() const { return map_; }

    // --- Texts -----------------------------------------------------------------
    // The language texts come from (the dictionary's current one unless set).
    int Language() const;
    void SetLanguage(int language);
    QString Text(int entry) const;
    QString Caption(Cap id) const;
    QString ProductTitle() const { return Caption(Cap::Title); }
    // A lookup of dictionary entries in the session's language.
    std::function<QString(int)> Lookup() const;
    // The texts of a window's dictionary section: the entries that follow
    // the marker entry (such as "[FrmInj]") in the session's language, one
    // per fallback; a text the dictionary lacks (no marker, too few entries,
    // an empty one) is the fallback.
    QStringList SectionTexts(const QString& marker, const QStringList& fallbacks) const;

    // --- The ECU -----------------------------------------------------------------
    int EcuVersion() const { return comm_.FirmwareEcuVersNum(); }
    // Block 5 exists from firmware version 133 on.
    bool HasBlock5() const { return EcuVersion() > kFirmwareWithBlock5; }
    bool LinkStopped() const { return comm_.ComState() == ComState::Stopped; }
    // Options of a configuration load for this installation.
    ParamLoadOptions LoadOptions() const;
    // Whether block 1's petrol times get the injection offset added back
    // depends on the ECU firmware's date (the scale configuration's
    // "[Control_petrol_firmware]"): sets the image's PetrolControlEnabled.
    void CheckPetrolControl();

    // --- Line model --------------------------------------------------------------
    // The model rebuilt from the image's correction table (repaired in
    // place), as after the table was read from the ECU or a file.
    void RebuildModelFromTable() { model_.RebuildFromTable(image_.CorTable); }
    // The correction table brought up to date from the model.
    void BuildTableFromModel() { model_.BuildTable(image_.CorTable); }

    // --- Link timer ------------------------------------------------------------
    void StartLink() { linkTimer_.SetEnabled(true); }
    void StopLink() { linkTimer_.SetEnabled(false); }
    // Work of a front end on each link-timer tick, after a pending offline
    // request has stopped the link and before the supervision step.
    void OnLinkTick(std::function<void()> beforeStep) {
        beforeStep_.push_back(std::move(beforeStep));
    }
    // Work after the supervision step (the window's port menu ticks).
    void AfterLinkTick(std::function<void()> afterStep) {
        afterStep_.push_back(std::move(afterStep));
    }

  private:
    void LinkTick();

    ScaleConfig scale_;
    ClsLingue lingue_;
    ClsComm comm_;
    ParamImage image_;
    FlashTable flashTable_;
    FlashImage flashImage_;
    std::unique_ptr<RequestBridge> requests_;
    std::unique_ptr<LinkSupervisor> supervisor_;
    Timer linkTimer_;
    ModelEditor model_;
    InjectionMap map_;
    int language_ = -1;
    std::vector<std::function<void()>> beforeStep_;
    std::vector<std::function<void()>> afterStep_;
};

// What a port named on the command line is.
enum class PortOption : uint8_t {
    Usb = 0,           // "USB": the cable
    Com = 1,           // "COM1".."COM9"
    Device = 2,        // an existing device path (a USB adapter, a pseudo-terminal)
    BadComNumber = 3,  // COM with a number outside 1..9: a typing mistake
    NoSuchDevice = 4,  // no such device
};
// Classifies the text; for PortOption::Com, `com` receives the number.
// `message` (when given) says what is wrong with a text that names no port.
PortOption ClassifyPortOption(const QString& port, int* com = nullptr, QString* message = nullptr);

// A port named for this run only ("USB", "COM1".."COM9", or a device path
// that stands for the configured serial port, COM1 when none is
// configured): the link uses it without a search, and the settings file
// keeps its own port. False with a message when the text names no port.
bool ApplyPortOption(const QString& port, ClsComm& comm, QString* error);

// The simulated ECU, put in front of the USB devices, for this run only: the
// link uses USB device 0 without a search, and the settings file keeps the
// user's own port (a later start without the simulator looks for the ECU
// where it did before).
void UseSimulatedEcuPort(ClsComm& comm);

}  // namespace gascal
