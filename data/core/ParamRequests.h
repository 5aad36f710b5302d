// The ECU requests of the parameter image: block writes and reads, the save
// to flash, the ECU mode and the correction table in four chunks of 48. The
// request scheduler of the main window issues them one at a time; each waits
// for its answer (other handlers run meanwhile) and returns true when the
// ECU answered.
#pragma once

#include <QString>

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
    // and the diagnostic dump when the service view is on.
    bool WriteCorTable();

    // Path of the diagnostic dump (\TEMPI4.TXT under the installation).
    void SetCorDumpPath(const QString& path) { corDumpPath_ = path; }

  private:
    ParamImage& image_;
    ParamLink& link_;
    QString corDumpPath_;
};

}  // namespace gascal
