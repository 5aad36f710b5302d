#include "ecu/ErrorList.h"

#include "ecu/EcuSession.h"
#include "ecu/ErrorMask.h"
#include "link/core/CommandTable.h"

namespace gascal {

namespace {
constexpr const char* kButtonFallback = "Errors";
}

void ErrorList::LoadDefinitions() {
    defs_.Load(session_.Lingue(), session_.Language());
}

void ErrorList::LoadKeyDefinitions() {
    defs_.Load(session_.Lingue(), 0);
}

QString ErrorList::ButtonCaption() const {
    const QString c = defs_.ButtonCaption();
    return c.isEmpty() ? QString::fromLatin1(kButtonFallback) : c;
}

ErrorMask ErrorList::IgnoreMask() const {
    return InstallationIgnoreMask(session_.Image(), session_.Scale(), defs_.Count());
}

ErrorFlags ErrorList::Flags() const {
    ErrorFlags f{};
    for (int i = 0; i < kErrorFlags; ++i) f[static_cast<size_t>(i)] = session_.Comm().ErrInj(i);
    return f;
}

bool ErrorList::Read() {
    ClsComm& comm = session_.Comm();
    bool answered = false;
    if (comm.ComState() == ComState::Idle) answered = session_.Requests().SendSimple(CMD_READ_ERR);
    ErrorFlags flags = Flags();
    ApplyIgnoreMask(flags, IgnoreMask());
    for (int i = 0; i < kErrorFlags; ++i) comm.SetErrInj(i, flags[static_cast<size_t>(i)]);
    present_ = FirstActiveError(flags, defs_.Count()) >= 0;
    return answered;
}

bool ErrorList::Clear() {
    if (!session_.Requests().SendSimple(CMD_CANC_ERR)) return false;
    present_ = false;
    for (const auto& f : cleared_) f();
    return true;
}

}  // namespace gascal
