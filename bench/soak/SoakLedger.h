// The soak's account of what the ECU's configuration should hold: for every
// byte of blocks 2, 3 and 5 and of the correction table, the value last asked
// for (by a change of a setting, a move of the line model or a parameter file
// loaded), whether it has reached the ECU, and every value ever asked for it.
//
// The ECU keeps writes in working memory until the configuration is saved; a
// reset reloads the saved copy. A value that had reached the ECU and is gone
// after a reset was lost by the ECU, not by the tool: from then on the byte is
// expected to hold what the ECU holds after the reset, until the tool writes
// the asked value again. A value asked but not yet written when the ECU reset
// must still arrive.
//
// Two verdicts come out of it: a write that changed a byte to a value never
// asked for it (nor held by the ECU at the start) is a wrong write; a byte
// that at the end differs from the value expected is a lost edit.
#pragma once

#include <QString>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/core/SimMemory.h"

namespace gascal::soak {

// Where a byte of the followed configuration lives.
enum class Region : uint8_t { Mem2, Mem3, Mem5, Table };

struct ByteAt {
    Region region;
    size_t offset;  // within the block, or the byte of the table (entry * 2 + 0 or 1)
};

// One byte that went wrong, for the report.
struct LedgerFault {
    ByteAt at;
    uint8_t value = 0;     // what the ECU holds (lost edit) or was given (wrong write)
    uint8_t expected = 0;  // what it should hold
    QString Text() const;
};

class SoakLedger {
  public:
    // `initial`: the ECU's configuration when the soak starts.
    explicit SoakLedger(const sim::ConfigImage& initial);

    static constexpr size_t kBytes =
        sim::kMem2Size + sim::kMem3Size + sim::kMem5Size + 2 * sim::kTableEntries;
    static size_t Index(ByteAt at);
    static ByteAt At(size_t index);
    // Block 2's hour counters are the ECU's own count and its fuel and mode
    // bytes its own reports or the tool's fuel handling: none of them is a
    // setting, so none is followed.
    static bool Followed(ByteAt at);
    static uint8_t Get(const sim::ConfigImage& image, ByteAt at);

    // The fitter (or a loaded file) asks for `value` at this byte.
    void Ask(ByteAt at, uint8_t value);
    // Every followed byte of a block (or of the whole table) at once.
    void AskBlock(Region region, const std::vector<uint8_t>& bytes);

    // The ECU carried out a write: `before` and `after` are its working memory.
    void Written(const sim::ConfigImage& before, const sim::ConfigImage& after);
    // The ECU reset and now holds `now` (its saved configuration).
    void EcuReset(const sim::ConfigImage& now);

    // The bytes that differ from what is expected (lost edits).
    std::vector<LedgerFault> Compare(const sim::ConfigImage& ecu) const;
    uint64_t WrongWrites() const { return wrongWrites_; }
    // The first wrong writes seen (at most kKeptFaults).
    const std::vector<LedgerFault>& WrongWriteSamples() const { return wrongSamples_; }
    uint64_t Asks() const { return asks_; }
    uint64_t LostToResets() const { return lostToResets_; }

    static constexpr size_t kKeptFaults = 20;

  private:
    struct Byte {
        uint8_t expect = 0;
        uint8_t asked = 0;
        bool hasAsk = false;
        bool delivered = true;
        std::bitset<256> allowed;
    };
    std::vector<Byte> bytes_;
    uint64_t wrongWrites_ = 0;
    uint64_t asks_ = 0;
    uint64_t lostToResets_ = 0;
    std::vector<LedgerFault> wrongSamples_;
};

}  // namespace gascal::soak
