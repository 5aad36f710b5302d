// Injector mode sequencing: a gas injector is brought into or out of service
// by steps, one per 24-tick slot of the polling cycle, each step storing the
// injector's next enable state in PendingEdits (the block-3 write follows).
// On gas an injector is moved through its intermediate states; on petrol (or
// with the key off) it is switched directly. The cylinder list and the
// injector page raise the requests.
#pragma once

#include <cstdint>
#include <functional>

namespace gascal {

class ParamImage;

// What is asked (InjModeRequestFlag).
enum class InjModeRequest : uint8_t {
    None = 0,
    OneInjector = 1,  // the injector InjModeRequestIndex
    BelowCount = 2,   // every injector below the count InjModeRequestIndex
};

inline constexpr int kNoInjState = -1;

class InjectorModes {
  public:
    // `startWrite` starts the block-3 write delay (DelayWriteMem3 := 1).
    InjectorModes(ParamImage& image, std::function<void()> startWrite)
        : image_(image), startWrite_(std::move(startWrite)) {}

    // Raises a request: `index` is the injector (or the count), `state` the
    // InjEnable state wanted (0 off, 3 on gas, 4 ...).
    void Request(InjModeRequest what, int index, int state);
    bool Active() const { return what_ != InjModeRequest::None; }
    InjModeRequest What() const { return what_; }
    int Index() const { return index_; }
    int State() const { return state_; }

    // One step (the 24-tick slot while a request is active).
    void Step();

  private:
    void Pend(int i, int v);
    void Finish(int i, int v);
    void Clear();

    ParamImage& image_;
    std::function<void()> startWrite_;
    InjModeRequest what_ = InjModeRequest::None;
    int index_ = 0;
    int state_ = kNoInjState;
};

}  // namespace gascal
