#include "viewer/model/ChannelSet.h"

#include <algorithm>

namespace gascal {

namespace {

QString ThreeDecimals(double v) {
    return QString::number(v, 'f', 3).replace(QLatin1Char('.'), QLatin1Char(','));
}

bool InRange(int c) {
    return c >= 0 && c < kViewChannels;
}

}  // namespace

ChannelSet::ChannelSet() : settings_(DefaultChannelSettings()) {
    ticked_.fill(true);
}

bool ChannelSet::Drawn(int c) const {
    return InRange(c) && ticked_[static_cast<size_t>(c)] && settings_[static_cast<size_t>(c)].shown;
}

bool ChannelSet::AnyDrawn() const {
    for (int c = 0; c < kViewChannels; ++c)
        if (Drawn(c)) return true;
    return false;
}

void ChannelSet::LoadFile(const QString& path) {
    settings_ = DefaultChannelSettings();
    LoadViewerSettings(path, settings_);
    selected_ = 0;
}

void ChannelSet::SaveFile(const QString& path) const {
    SaveViewerSettings(path, settings_);
}

bool ChannelSet::SetTicked(int c, bool ticked) {
    if (!InRange(c)) return true;
    ticked_[static_cast<size_t>(c)] = ticked;
    if (std::any_of(ticked_.begin(), ticked_.end(), [](bool t) { return t; })) return true;
    ticked_[0] = true;
    return false;
}

bool ChannelSet::ToggleShown(int c) {
    if (!InRange(c)) return true;
    ChannelSetting& ch = settings_[static_cast<size_t>(c)];
    ch.shown = !ch.shown;
    if (AnyDrawn()) return true;
    ch.shown = true;
    return false;
}

bool ChannelSet::Select(int c) {
    if (!InRange(c)) return false;
    selected_ = c;
    return true;
}

bool ChannelSet::SelectInjector(int inj) {
    if (inj < 0 || inj >= kViewInjectors) return false;
    injector_ = inj;
    return true;
}

void ChannelSet::MoveUp() {
    Chosen().pos = ChannelUp(Chosen().pos);
}

void ChannelSet::MoveDown() {
    Chosen().pos = ChannelDown(Chosen().pos);
}

void ChannelSet::ZoomIn() {
    Chosen().gain = GainZoomIn(Chosen().gain);
}

void ChannelSet::ZoomOut() {
    Chosen().gain = GainZoomOut(Chosen().gain);
}

void ChannelSet::RestoreDefaults() {
    const ChannelSettings defaults = DefaultChannelSettings();
    for (size_t c = 0; c < settings_.size(); ++c) {
        settings_[c].gain = defaults[c].gain;
        settings_[c].pos = defaults[c].pos;
    }
}

QString ChannelSet::GainText() const {
    return ThreeDecimals(Setting(selected_).gain);
}

QString ChannelSet::PositionText() const {
    return ThreeDecimals(Setting(selected_).pos);
}

double ChannelSet::Y(int c, const ViewSample& s) const {
    const ChannelSetting& ch = Setting(c);
    return ch.pos + kZeroOffset - DrawnValue(s, c, injector_) * ch.gain;
}

}  // namespace gascal
