// ECU requests issued one after the other, as a script needs them, without
// the polling cycle: gascal-cli and the benches. Each request is tried up to
// three times, as the window's own procedures do, waiting for the link to
// reopen after a link error; a block is read fresh just before it is written
// and read back after.
#pragma once

#include <QString>
#include <functional>
#include <set>

#include "ecu/InjectionMap.h"

namespace gascal {

class EcuSession;
class ParamImage;

// The switchover speed travels as a revolution period of the coil and
// cylinder counts (those pending, else the image's). A speed too low for the
// 16-bit period would reach the ECU as FFFF, "no speed condition": false
// then, with the lowest speed that can be sent and the counts.
struct SwitchRpmCheck {
    bool fits = true;
    double rpm = 0, lowest = 0;
    int coils = 0, cylinders = 0;
};
SwitchRpmCheck CheckSwitchRpm(const ParamImage& image);

inline constexpr int kRequestAttempts = 3;

class DirectRequests {
  public:
    explicit DirectRequests(EcuSession& session) : session_(session) {}

    // Waits until the link is up on a port whose keep-alive was answered,
    // then reads both firmware identities. `searching` is told the port a
    // search tries ("USB", "COM 3") each time it moves. False when no ECU
    // answered within the time.
    bool Connect(double timeoutUs, const std::function<void(const QString&)>& searching = {});

    // One request with the window's three attempts; with a give-up time
    // set, no longer than that from its start (the attempts and the link's
    // own resends included).
    bool Try(const std::function<bool()>& request);
    void SetGiveUpAfter(double us) { giveUpUs_ = us; }
    bool ReadBlock(int n);
    // Blocks 2 and 3, and 5 when the ECU has it.
    bool ReadSettings();
    // The correction table as the ECU holds it, copied to the edited table.
    bool ReadTable();
    // The whole configuration: settings, test data and the correction table,
    // so that whatever a parameter file does not hold stays the ECU's.
    bool ReadConfiguration();

    // What went wrong with a block write.
    enum class WriteStep : uint8_t { Done = 0, FreshRead = 1, Write = 2, ReadBack = 3 };
    struct WriteResult {
        WriteStep failed = WriteStep::Done;
        int block = 0;
    };
    // Writes the pending edits of these blocks (3, then 2, then 5): each is
    // read fresh, written and read back. `beforeWrite(block)` may refuse a
    // block once its fresh contents are known (nothing is then written).
    WriteResult WriteBlocks(const std::set<int>& blocks,
                            const std::function<bool(int block)>& beforeWrite = {});
    bool SaveFlash();

    // The operating points of a fuel (both answers), decoded into the
    // session's injection map.
    bool ReadSamples(MapFuel fuel);
    // The ECU forgets the operating points of a fuel; so does the map.
    bool ClearSamples(MapFuel fuel);

  private:
    EcuSession& session_;
    double giveUpUs_ = 0;  // 0: the attempts alone decide
};

}  // namespace gascal
