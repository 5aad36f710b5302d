// The invariants every case is checked against, over what the simulated
// ECU holds before the workflow and at the end of the case.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "sim/core/SimMemory.h"

namespace gascal {
class ParamImage;
namespace sim {
class SimEcu;
}
}  // namespace gascal

namespace gascal::interrupt {

// The parts of the ECU's configuration compared byte for byte.
enum class Part { Block2Config, Block3, Block5, Table, TestData, SavedFlash };
const char* PartName(Part p);

struct CarSnapshot {
    sim::ConfigImage working;
    sim::ConfigImage saved;
    uint64_t erases = 0;  // flash erase requests the ECU has taken
    static CarSnapshot Of(const sim::SimEcu& ecu);
    std::vector<uint8_t> Bytes(Part p) const;
};

// A memory area as a byte vector, for comparisons.
template <size_t N>
std::vector<uint8_t> AsBytes(const std::array<uint8_t, N>& a) {
    return {a.begin(), a.end()};
}

// Block 3 as a configuration: a fitted injector counts as 1 whatever state
// the ECU holds it in on gas (its own change, no change of the tool's).
std::vector<uint8_t> Mem3AsConfig(std::vector<uint8_t> mem3);

// The longest a store in flash (CMD_SAVE_FLASH) may take when its answer
// does not come: the link waits the slow commands' answer time (the global
// wait times its factor, 2000 s with the shipped settings) before each of
// its resends. Part of the bound of every workflow that stores.
double StoreAnswerWaitS();

// Whether every entry of the correction table `now` (two bytes each) that
// is not as in `want` lies in the ranges the tool named as possibly old
// ("entries 48 to 95, 144 to 191"): a table write cut between its chunks
// is allowed to leave them so only when the tool says which they are.
bool OnlyEntriesOld(const QString& named, const std::vector<uint8_t>& now,
                    const std::vector<uint8_t>& want);

// An installation folder with the shipped files.
void InstallInto(const QString& dir);
// The correction table as the tool sends it for `image`'s table.
std::vector<uint8_t> TableBytesOf(const ParamImage& image);

class CaseChecks {
  public:
    CaseChecks(CarSnapshot before, CarSnapshot after, QStringList& violations)
        : before_(std::move(before)), after_(std::move(after)), out_(violations) {}

    // Invariant 5: the case ended, within its bound.
    void Bound(bool ended, double boundS, double tookUs);
    // Invariant 4: the flash was not erased.
    void NoErase(const sim::SimEcu& ecu);
    // Invariant 3: the ECU runs (not slave, not programming).
    void Running(const sim::SimEcu& ecu);
    // Invariant 1: the part is byte for byte as before.
    void Unchanged(Part p);
    // Invariant 1 and 2: the ECU's table is `table`, what the tool says it
    // wrote. With `orAsSaved` (an ECU reset came after the write) the table
    // saved before is also right: the ECU loses what was not saved.
    void TableIs(const std::vector<uint8_t>& table, const char* what, bool orAsSaved = false);
    // Block 2's configuration as before but the fuel the workflow chose.
    void Block2ConfigUnchangedButFuel();

  private:
    CarSnapshot before_, after_;
    QStringList& out_;
};

}  // namespace gascal::interrupt
