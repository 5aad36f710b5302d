#include "ecu/RequestScheduler.h"

#include "data/core/ParamRequests.h"
#include "ecu/EcuSession.h"
#include "link/core/CommandTable.h"

namespace gascal {

void RequestScheduler::StartWriteDelay(Block b, double value) {
    switch (b) {
        case Block::Mem2:
            delays_.DelayWriteMem2 = value;
            break;
        case Block::Mem3:
            delays_.DelayWriteMem3 = value;
            break;
        case Block::Mem5:
            delays_.DelayWriteMem5 = value;
            break;
    }
}

bool RequestScheduler::Send(Request r) {
    RequestBridge& q = session_.Requests();
    switch (r) {
        case Request::WriteMem3:
            return q.WriteBlock(3);
        case Request::WriteMem5:
            return q.WriteBlock(5);
        case Request::WriteMem2:
            return q.WriteBlock(2);
        case Request::EcuMode:
            return q.SetEcuMode();
        case Request::ReadCor:
            return q.ReadCorTable();
        case Request::ReadMem3:
            return q.ReadBlock(3);
        case Request::ReadDcol:
            return q.ReadBlock(kBlockTestData);
        case Request::ReadMem5:
            return q.ReadBlock(5);
        case Request::ReadMem2:
            return q.ReadBlock(2);
        case Request::ReadMem1:
            return q.ReadBlock(1);
        case Request::ReadSmplBnz:
            return q.SendSimple(CMD_READ_SMPL_BNZ) && q.SendSimple(CMD_READ_SMPL_BNZ1);
        case Request::ReadSmplGas:
            return q.SendSimple(CMD_READ_SMPL_GAS) && q.SendSimple(CMD_READ_SMPL_GAS1);
        case Request::CancSmplBnz:
            return q.SendSimple(CMD_CANC_SMPL_BNZ);
        case Request::CancSmplGas:
            return q.SendSimple(CMD_CANC_SMPL_GAS);
        case Request::SaveFlash:
            return q.SaveFlash();
        case Request::None:
            break;
    }
    return false;
}

bool RequestScheduler::Finish(Request r, bool ok) {
    last_ = r;
    if (ok) Withdraw(r);
    for (const auto& f : listeners_) f(r, ok);
    return ok;
}

Request RequestScheduler::Issue() {
    last_ = Request::None;
    if (session_.Comm().ComState() != ComState::Idle) return last_;
    // A block write is followed by a read of the block whatever its outcome:
    // after a success the display shows what the ECU took, after a failure
    // the retry waits for that read, so it merges the edits into what the
    // ECU holds then and not into what it held before the failure.
    const std::pair<Request, Request> writes[] = {{Request::WriteMem3, Request::ReadMem3},
                                                  {Request::WriteMem5, Request::ReadMem5},
                                                  {Request::WriteMem2, Request::ReadMem2}};
    for (const auto& [write, read] : writes) {
        if (!Pending(write) || Pending(read)) continue;
        const bool ok = Send(write);
        Post(read);
        Finish(write, ok);
        return write;
    }
    if (Pending(Request::SaveFlash) && !WritesWaiting()) {
        Finish(Request::SaveFlash, Send(Request::SaveFlash));
        return Request::SaveFlash;
    }
    for (Request r : {Request::EcuMode, Request::ReadCor, Request::ReadMem3, Request::ReadDcol,
                      Request::ReadMem5, Request::ReadMem2, Request::ReadMem1}) {
        if (!Pending(r)) continue;
        Finish(r, Send(r));
        return r;
    }
    // The samples and their clears wait while block 1 is to be read.
    for (Request r :
         {Request::ReadSmplBnz, Request::ReadSmplGas, Request::CancSmplBnz, Request::CancSmplGas}) {
        if (!Pending(r)) continue;
        Finish(r, Send(r));
        return r;
    }
    return last_;
}

void RequestScheduler::CountDiv2Delays() {
    if (delays_.DelayWriteMem2 > 0 && --delays_.DelayWriteMem2 < 1) {
        delays_.DelayWriteMem2 = 0;
        Post(Request::ReadMem2);
        Post(Request::WriteMem2);
    }
    if (delays_.DelayWriteCor > 1) {
        delays_.DelayWriteCor -= 1;
        if (delays_.DelayWriteCor < 2) {
            if (buildCor_) buildCor_();
            corWriteRunning_ = true;
            const bool ok = session_.Requests().WriteCorTable();
            corWriteRunning_ = false;
            delays_.DelayWriteCor = ok ? 0 : kCorWriteRetryDelay;
        }
    }
}

void RequestScheduler::CountDiv5Delays(bool withBlock5) {
    if (delays_.DelayWriteMem3 > 0 && --delays_.DelayWriteMem3 < 1) {
        delays_.DelayWriteMem3 = 0;
        Post(Request::ReadMem3);
        Post(Request::WriteMem3);
    }
    if (withBlock5 && delays_.DelayWriteMem5 > 0 && --delays_.DelayWriteMem5 < 1) {
        delays_.DelayWriteMem5 = 0;
        Post(Request::ReadMem5);
        Post(Request::WriteMem5);
    }
}

void RequestScheduler::CountSampleDelay(bool autoTuning) {
    if (delays_.DelaySamples > 0) {
        if (--delays_.DelaySamples < 1) {
            delays_.DelaySamples = 0;
            Post(Request::ReadSmplGas);
            Post(Request::ReadSmplBnz);
        }
    } else if (autoTuning && !Pending(Request::ReadSmplBnz) && !Pending(Request::ReadSmplGas)) {
        delays_.DelaySamples = kSampleDelay;
    }
}

void RequestScheduler::PostReadsAfterLinkReset() {
    Post(Request::ReadMem1);
    if (!Pending(Request::WriteMem2)) Post(Request::ReadMem2);
    if (!Pending(Request::WriteMem3)) Post(Request::ReadMem3);
    if (!Pending(Request::WriteMem5)) Post(Request::ReadMem5);
    if (delays_.DelayWriteCor < 1) Post(Request::ReadCor);
    Post(Request::ReadSmplBnz);
    Post(Request::ReadSmplGas);
    Post(Request::ReadDcol);
}

void RequestScheduler::ApplyWaitingEditsToImage() {
    ParamImage& image = session_.Image();
    if (delays_.DelayWriteMem2 >= 1 || Pending(Request::WriteMem2)) image.BuildMem2Payload();
    if (delays_.DelayWriteMem3 >= 1 || Pending(Request::WriteMem3)) image.BuildMem3Payload();
    if (delays_.DelayWriteMem5 >= 1 || Pending(Request::WriteMem5)) image.BuildMem5Payload();
    if (delays_.DelayWriteCor >= 1 && buildCor_) buildCor_();
}

bool RequestScheduler::WritesWaiting() const {
    return Pending(Request::WriteMem2) || Pending(Request::WriteMem3) ||
           Pending(Request::WriteMem5) || delays_.DelayWriteMem2 > 0 ||
           delays_.DelayWriteMem3 > 0 || delays_.DelayWriteMem5 > 0 || delays_.DelayWriteCor >= 1;
}

void RequestScheduler::ForgetWrites() {
    Withdraw(Request::SaveFlash);
    Withdraw(Request::WriteMem2);
    Withdraw(Request::WriteMem3);
    Withdraw(Request::WriteMem5);
    delays_ = WriteDelays{};
    session_.Image().ResetPendingEdits();
}

bool RequestScheduler::BlocksRead() const {
    for (Request r : {Request::ReadMem3, Request::ReadMem2, Request::ReadCor, Request::ReadMem5,
                      Request::ReadDcol, Request::ReadMem1})
        if (Pending(r)) return false;
    return true;
}

}  // namespace gascal
