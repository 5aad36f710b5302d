// The ECU requests of the parameter image: block writes and reads, the save
// to flash, the ECU mode and the correction table in four chunks of 48. The
// request scheduler of the main window issues them one at a time; each waits
// for its answer (other handlers run meanwhile) and returns true when the
// ECU answered.
#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace gascal {

class ParamImage;
class ParamLink;

inline constexpr int kCorTableAttempts = 3;
inline constexpr double kCorTableRetryWaitUs = 250000;
inline constexpr int kBlockTestData = 6;  // ReadBlock(6): the factory test data

class ParamRequests {
  public:
    ParamRequests(ParamImage& image, ParamLink& link) : image_(image), link_(link) {}

    // Builds the payload of block 2, 3 or 5 (merging PendingEdits) and writes it.
    bool WriteBlock(int n);
    // Reads block 1, 2, 3, 5 or the test-data block 6.
    bool ReadBlock(int n);
    // Saves the ECU's working memory to flash (a slow command: the answer
    // time-out is lengthened while it runs).
    bool SaveFlash();
    // Sends the mode frame chosen by block 2's EcuMode: 0 asks for slave
    // mode, 1 for running mode; any other value sends nothing.
    bool SetEcuMode();
    // Reads the table from the ECU into `CorTableEcu`.
    bool ReadCorTable();
    // Writes `CorTable` in four chunks, once; true when all were answered.
    bool WriteCorChunks();
    // The full write: up to three attempts, read-back, restore on failure,
    // and the diagnostic dump when the service view is on. The table read
    // back is compared with the one sent: a chunk the ECU does not hold (an
    // ECU reset took it with its working memory) makes the attempt fail and
    // the table is written again.
    bool WriteCorTable();

    // The chunks of the correction table the ECU is not known to hold as
    // the tool last sent them (bit c: entries 48c to 48c + 47): those a
    // write stopped before (not answered), and in the full write those read
    // back different. 0 once a write is answered whole (and, in the full
    // write, read back equal). A write cut short leaves the ECU with a table
    // that is part new and part old: this says which part is missing.
    uint8_t CorChunksMissing() const { return corMissing_; }
    // The entries of the missing chunks, "entries 96 to 191" (empty: none).
    QString CorMissingEntries() const;
    // Told whenever CorChunksMissing() changes.
    void OnCorMissingChanged(std::function<void()> f) { corListeners_.push_back(std::move(f)); }

    // Path of the diagnostic dump (\TEMPI4.TXT under the installation).
    void SetCorDumpPath(const QString& path) { corDumpPath_ = path; }

  private:
    // Reads the four chunks as ReadCorTable does and keeps their raw data.
    bool ReadCorChunks(std::array<std::vector<uint8_t>, 4>* raw);
    void SetCorMissing(uint8_t chunks);

    ParamImage& image_;
    ParamLink& link_;
    QString corDumpPath_;
    uint8_t corMissing_ = 0;
    std::vector<std::function<void()>> corListeners_;
};

}  // namespace gascal
