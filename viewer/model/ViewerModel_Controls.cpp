// The window's controls over the viewer's parts: the channels' buttons,
// the time base and slider, the hidden frames, and the drawing and cursor
// read-out they lead to. Each command changes its part, saves the settings
// where they changed, and in stop mode lays the picture out again.
#include "data/core/ParamImage.h"
#include "viewer/model/ViewerModel.h"

namespace gascal {

// --- Channels -----------------------------------------------------------------------------------

void ViewerModel::RedrawAndRead() {
    if (!runMode_) RedrawSignals();
    if (const auto x = readout_.CursorX()) ShowReadout(*x);
}

void ViewerModel::NoChannelLeft() {
    Ask().MessageBox(texts_.noCheck, texts_.view, BoxIcon::Critical, BoxButtons::Ok);
}

void ViewerModel::AfterChannelChange() {
    emit channelsChanged();
    SaveSettings();
    if (!runMode_) FitTimeScale(false);
    RedrawAndRead();
}

void ViewerModel::ChkSignal_Click(int channel, bool ticked) {
    if (channel < 0 || channel >= kViewChannels) return;
    if (!channels_.SetTicked(channel, ticked)) NoChannelLeft();
    emit channelsChanged();
    RedrawAndRead();
}

void ViewerModel::PctMostra_Click(int channel) {
    if (channel < 0 || channel >= kViewChannels) return;
    if (!channels_.ToggleShown(channel)) NoChannelLeft();
    emit channelsChanged();
    SaveSettings();
    RedrawAndRead();
}

void ViewerModel::LblSignal_Click(int channel) {
    if (channels_.Select(channel)) emit channelsChanged();
}

void ViewerModel::CmbChnInj_Click(int index) {
    if (channels_.SelectInjector(index)) RedrawAndRead();
}

void ViewerModel::CmdUp_Click() {
    channels_.MoveUp();
    AfterChannelChange();
}

void ViewerModel::CmdDw_Click() {
    channels_.MoveDown();
    AfterChannelChange();
}

void ViewerModel::CmdZoomIn_Click() {
    channels_.ZoomIn();
    AfterChannelChange();
}

void ViewerModel::CmdZoomOut_Click() {
    channels_.ZoomOut();
    AfterChannelChange();
}

void ViewerModel::CmdReset_Click() {
    channels_.RestoreDefaults();
    AfterChannelChange();
}

// --- Time base and slider ---------------------------------------------------------------------

void ViewerModel::CmdSecDivP_Click() {
    axis_.StepUp();
    AfterTimeBaseChange();
}

void ViewerModel::CmdSecDivM_Click() {
    axis_.StepDown();
    AfterTimeBaseChange();
}

void ViewerModel::AfterTimeBaseChange() {
    emit controlsChanged();
    SaveSettings();
    FitTimeScale(false);
    if (runMode_)
        restartSweep_ = true;
    else
        RedrawAndRead();
}

void ViewerModel::WheelZoom(int steps, double x) {
    if (runMode_ || busy_ || steps == 0) return;
    if (!axis_.WheelZoom(steps, x)) return;
    FitTimeScale(false);
    emit controlsChanged();
    RedrawAndRead();
}

void ViewerModel::FitTimeScale(bool force) {
    if (axis_.FitSlider(store_.FirstSampleMs(), store_.LastSampleMs(), runMode_ || force))
        emit controlsChanged();
}

void ViewerModel::SldSample_Scroll(int value) {
    if (axis_.ScrollSuppressed() || runMode_ || busy_) return;
    axis_.Scroll(value);
    RedrawAndRead();
}

// --- Frames -------------------------------------------------------------------------------------

void ViewerModel::ShowSettingsFrame() {
    settingsFrame_ = true;
    cylCoilFrame_ = true;
    emit controlsChanged();
}

void ViewerModel::CmdEscSet_Click() {
    SaveSettings();
    settingsFrame_ = false;
    emit controlsChanged();
    emit channelsChanged();
    if (runMode_)
        restartSweep_ = true;
    else
        RedrawSignals();
}

void ViewerModel::CmdEscCylCoil_Click(int cylinders, int coils) {
    cylinders_ = cylinders;
    coils_ = coils;
    // Computed in single precision, as the ECU's own constant is.
    store_.SetRevolutionConstant(static_cast<float>(ParamImage::RpmConstantFor(coils, cylinders)));
    cylCoilChosen_ = true;
    cylCoilFrame_ = false;
    emit controlsChanged();
    if (runMode_)
        restartSweep_ = true;
    else
        RedrawAndRead();
}

// --- Drawing and cursors ------------------------------------------------------------------------

LiveSegment ViewerModel::DrawLiveSegment(int& n) {
    return trace_.AddLiveSegment(store_.Samples(), n, axis_.SecDiv(), channels_);
}

void ViewerModel::RedrawSignals() {
    trace_.LayOut(store_.Samples(), axis_.SliderValue(), axis_.K());
    emit redrawn();
}

void ViewerModel::ShowReadout(double x) {
    if (busy_ || readoutBusy_) return;
    readoutBusy_ = true;
    readout_.Show(x, runMode_);
    readoutBusy_ = false;
    emit readoutChanged();
}

void ViewerModel::SetSecondCursor(double x) {
    if (runMode_ || busy_) return;
    if (readout_.SetSecondCursor(x)) ShowReadout(readout_.CursorX().value_or(x));
}

void ViewerModel::ClearSecondCursor() {
    if (readout_.ClearSecondCursor()) emit readoutChanged();
}

}  // namespace gascal
