// The request scheduler of the polling cycle: the request flags, the write
// delays, and the choice of the one ECU request issued per 2-tick slot, by
// fixed priority. Pages and procedures post requests here (or start the
// write delay of the block they edited) and hear the results; they never
// send block reads and writes themselves.
//
// Priority, first applicable wins:
//   1 write block 3, 2 write block 5, 3 write block 2 (each only once the
//   block's read is done, so a block is always read fresh just before it is
//   written), 4 ECU mode, 5 correction table, 6 read block 3, 7 test data,
//   8 read block 5, 9 read block 2, 10 read block 1, then, only when block 1
//   has been read, 11 petrol samples, 12 gas samples, 13 and 14 the sample
//   clears. The store in flash ("Store in ECU") goes before the ECU mode,
//   but only once no block or table write is waiting, so it stores the
//   edits made before it was asked for. A failed request stays posted and is tried again on the
//   next call, ahead of every lower one.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace gascal {

class EcuSession;

// The requests, numbered by their priority.
enum class Request : uint8_t {
    None = 0,
    WriteMem3 = 1,
    WriteMem5 = 2,
    WriteMem2 = 3,
    EcuMode = 4,
    ReadCor = 5,
    ReadMem3 = 6,
    ReadDcol = 7,
    ReadMem5 = 8,
    ReadMem2 = 9,
    ReadMem1 = 10,
    ReadSmplBnz = 11,
    ReadSmplGas = 12,
    CancSmplBnz = 13,
    CancSmplGas = 14,
    SaveFlash = 15,  // CMD_SAVE_FLASH, after the writes (see above)
};
inline constexpr int kRequestSlots = 16;

// The blocks a page edits.
enum class Block : uint8_t { Mem2 = 2, Mem3 = 3, Mem5 = 5 };

// Write delays (0 = idle), counted down in the polling cycle's slots.
struct WriteDelays {
    double DelayWriteMem2 = 0;  // Div2 slot
    double DelayWriteMem3 = 0;  // Div5 slot
    double DelayWriteMem5 = 0;  // Div5 slot, ECUs with block 5 only
    double DelayWriteCor = 0;   // Div2 slot while above 1
    double DelaySamples = 0;    // Div54 slot
};

inline constexpr double kEditWriteDelay = 1;
// A scroll bar's moves on the injector and level pages: a longer delay, so a
// bar dragged along gives one write.
inline constexpr double kScrollWriteDelay = 4;
inline constexpr double kCorWriteDelay = 2;
inline constexpr double kCorWriteRetryDelay = 10;
inline constexpr double kSampleDelay = 4;

class RequestScheduler {
  public:
    explicit RequestScheduler(EcuSession& session) : session_(session) {}

    // --- Posting ---------------------------------------------------------------
    void Post(Request r) { posted_[Index(r)] = true; }
    void Withdraw(Request r) { posted_[Index(r)] = false; }
    bool Pending(Request r) const { return posted_[Index(r)]; }
    // An edit was stored in PendingEdits: its block is written once the
    // delay has run out, so several quick changes go in one write.
    void StartWriteDelay(Block b, double value = kEditWriteDelay);
    // The correction table is to be built from the line model and written.
    void StartCorWrite(double value = kCorWriteDelay) { delays_.DelayWriteCor = value; }
    void SetSampleDelay(double value) { delays_.DelaySamples = value; }
    const WriteDelays& Delays() const { return delays_; }
    // Builds CorTable from the line model before a table write.
    void SetCorTableBuilder(std::function<void()> build) { buildCor_ = std::move(build); }
    // The correction table is being written (its chunks and the read-back).
    bool CorWriteRunning() const { return corWriteRunning_; }

    // --- Issuing ----------------------------------------------------------------
    // One scheduler call: issues the first applicable request when the link
    // is idle, waits for its answer and returns what it issued.
    Request Issue();
    Request LastIssued() const { return last_; }
    // Told of every request issued and whether the ECU answered.
    using ResultListener = std::function<void(Request, bool ok)>;
    void OnResult(ResultListener f) { listeners_.push_back(std::move(f)); }

    // --- The polling cycle's counting -------------------------------------------
    // Div2: block 2's delay, and the correction table's (which writes the
    // table when it runs out: again after 10 slots when that failed).
    void CountDiv2Delays();
    // Div5: blocks 3 and 5 (block 5 only on an ECU that has it).
    void CountDiv5Delays(bool withBlock5);
    // Div54: the sample delay; idle with "Auto Tuning" on and no sample read
    // waiting, it starts again.
    void CountSampleDelay(bool autoTuning);

    // --- Link reset --------------------------------------------------------------
    // The link was reset or stopped: every block is to be read again (a
    // block with a write waiting keeps it), and the samples and test data.
    void PostReadsAfterLinkReset();
    // The link was stopped: edits still waiting in their delay (or for their
    // write) go to the image unsent, so what the fitter chose stays shown.
    void ApplyWaitingEditsToImage();
    // The link was stopped: no write is waiting any more.
    void ForgetWrites();
    // Every block read that the first refresh waits for is done.
    bool BlocksRead() const;
    // A block or table write is posted or waits in its delay.
    bool WritesWaiting() const;

  private:
    static size_t Index(Request r) { return static_cast<size_t>(r); }
    bool Send(Request r);
    bool Finish(Request r, bool ok);

    EcuSession& session_;
    std::array<bool, kRequestSlots> posted_{};
    WriteDelays delays_;
    Request last_ = Request::None;
    std::function<void()> buildCor_;
    bool corWriteRunning_ = false;
    std::vector<ResultListener> listeners_;
};

}  // namespace gascal
