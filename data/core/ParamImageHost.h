// What the parameter image asks of the main window. The image decides, while
// it decodes or builds a block, that the window must write block 3 again
// (a repaired coil or cylinder count), refill every setting control (the
// cylinder count changed) or refresh the settings display (block 3 differs
// from what was shown). The main controller implements this; without one
// the requests go nowhere.
#pragma once

namespace gascal {

class ParamImageHost {
  public:
    virtual ~ParamImageHost() = default;
    // Starts the block-3 write delay with this value (1 = write soon).
    virtual void SetDelayWriteMem3(double value) = 0;
    // All setting controls are to be refilled at the next refresh.
    virtual void SetFirstRefreshPending() = 0;
    // The settings display is to be refreshed from the image.
    virtual void RequestSettingsRefresh() = 0;
    // The service view is on (diagnostic files are written).
    virtual bool ServiceView() const = 0;
};

// A host that records what was asked (tests, command-line tools).
class RecordingImageHost : public ParamImageHost {
  public:
    double delayWriteMem3 = 0;
    int firstRefreshRequests = 0;
    int settingsRefreshRequests = 0;
    bool serviceView = false;

    void SetDelayWriteMem3(double value) override { delayWriteMem3 = value; }
    void SetFirstRefreshPending() override { ++firstRefreshRequests; }
    void RequestSettingsRefresh() override { ++settingsRefreshRequests; }
    bool ServiceView() const override { return serviceView; }
};

}  // namespace gascal
