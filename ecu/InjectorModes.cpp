#include "ecu/InjectorModes.h"

#include <algorithm>

#include "data/core/ParamImage.h"
#include "ecu/FuelSwitch.h"

namespace gascal {

namespace {
constexpr int kInjectors = 8;
}

void InjectorModes::Request(InjModeRequest what, int index, int state) {
    what_ = what;
    index_ = index;
    state_ = state;
}

void InjectorModes::Pend(int i, int v) {
    if (i < 0 || i >= kInjectors) return;
    image_.PendingEdits.Mem3Block.InjEnable[static_cast<size_t>(i)] = static_cast<uint8_t>(v);
    startWrite_();
}

void InjectorModes::Clear() {
    what_ = InjModeRequest::None;
    state_ = kNoInjState;
}

void InjectorModes::Finish(int i, int v) {
    Pend(i, v);
    Clear();
}

void InjectorModes::Step() {
    const int r = state_;
    const int i = index_;
    const auto en = [this](int k) {
        return (k >= 0 && k < kInjectors) ? image_.Mem3Block.InjEnable[static_cast<size_t>(k)] : 0;
    };
    const bool onGas = image_.Mem2Block.Mem2Byte1 == static_cast<uint8_t>(Fuel::Gas);
    const bool onPetrol = image_.Mem2Block.Mem2Byte1 == static_cast<uint8_t>(Fuel::Petrol);
    if (onGas) {
        if (r == 0) {
            if (en(i) == 3 || en(i) == 4) Finish(i, 0);
        } else if (r == 3 && what_ == InjModeRequest::OneInjector) {
            switch (en(i)) {
                case 0:
                    Pend(i, 1);
                    break;
                case 1:
                    Finish(i, 2);
                    break;
                case 4:
                    Finish(i, 3);
                    break;
                case 3:
                    Clear();
                    break;
                default:
                    break;
            }
        } else if (r == 3 && what_ == InjModeRequest::BelowCount) {
            const int n = std::clamp(i, 0, kInjectors);
            bool anyZero = false, anyLow = false;
            for (int k = 0; k < n; ++k) {
                auto& p = image_.PendingEdits.Mem3Block.InjEnable[static_cast<size_t>(k)];
                switch (en(k)) {
                    case 0:
                        p = 1;
                        anyZero = anyLow = true;
                        break;
                    case 1:
                        p = 2;
                        anyLow = true;
                        break;
                    case 4:
                        p = 3;
                        break;
                    default:
                        break;
                }
            }
            if (anyLow) startWrite_();
            if (!anyZero) Clear();
        } else if (r == 4) {
            switch (en(i)) {
                case 0:
                    Pend(i, 1);
                    break;
                case 1:
                    Pend(i, 2);
                    break;
                case 3:
                    Finish(i, 4);
                    break;
                default:
                    break;
            }
        }
    } else if (onPetrol || image_.Mem1Block.KeyOn == 0) {
        if (r == 0) {
            if (en(i) == 1)
                Finish(i, 0);
            else
                Clear();
        } else if (r == 3 && what_ == InjModeRequest::OneInjector) {
            if (en(i) == 0)
                Finish(i, 1);
            else
                Clear();
        } else if (r == 3 && what_ == InjModeRequest::BelowCount) {
            for (int k = 0; k < std::clamp(i, 0, kInjectors); ++k)
                if (en(k) == 0) Pend(k, 1);
            Clear();
        }
    }
    // A cylinder count still waiting to be written keeps the write coming.
    const int pendingCyl = image_.PendingEdits.Mem3Block.NumCylinders;
    if (pendingCyl >= 0 && pendingCyl != image_.Mem3Block.NumCylinders) startWrite_();
}

}  // namespace gascal
