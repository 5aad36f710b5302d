// The bridge between the link object and the parameter image: the data
// layer's link adapter (requests sent through the link's send and wait,
// block answers handed to the image's decoders) plus the answers that have
// no place in the image: the raw operating-point samples of both fuels,
// kept for the injection map.
#pragma once

#include <QByteArray>
#include <QString>
#include <array>

#include "data/core/ClsCommParamLink.h"
#include "data/core/ParamRequests.h"
#include "ecu/StoreTracker.h"
#include "link/core/ClsComm.h"

namespace gascal {

class ParamImage;

// The sample stores: the answers to CMD_READ_SMPL_BNZ, _BNZ1, _GAS, _GAS1.
enum class SampleAnswer : int { Petrol = 0, Petrol1 = 1, Gas = 2, Gas1 = 3 };

class RequestBridge : public ClsCommParamLink, public ParamAnswerSink {
  public:
    RequestBridge(ClsComm& comm, ParamImage& image);
    ~RequestBridge() override;

    bool ReadBlock(int n) { return requests_.ReadBlock(n); }
    bool WriteBlock(int n) { return requests_.WriteBlock(n); }
    bool SetEcuMode() { return requests_.SetEcuMode(); }
    bool SaveFlash() { return requests_.SaveFlash(); }
    bool ReadCorTable() { return requests_.ReadCorTable(); }
    bool WriteCorTable() { return requests_.WriteCorTable(); }
    // A request without data (sample reads and clears, the error list).
    bool SendSimple(uint8_t command);
    // One of the fixed frames, given as hexadecimal text.
    bool SendFixed(const char* frameHex);
    ParamRequests& Requests() { return requests_; }

    // Raw data of the last answer to a sample read, as hexadecimal text.
    const QString& Samples(SampleAnswer a) const { return samples_[static_cast<int>(a)]; }

    void OnSamples(uint8_t command, const QString& hex) override;
    // The ECU cleared a fuel's sample store: so does the tool.
    void OnSamplesCleared(uint8_t command) override;

    // Data of the last valid answer to a command, as hexadecimal text, and
    // when the ECU last gave a valid answer to anything (microsecond clock,
    // 0 before the first). The firmware upgrade keeps the blocks as they
    // travel and tells a silent ECU from a slow one by them.
    void OnAnswer(uint8_t command, const QString& dataHex) override;
    const QString& LastAnswer(uint8_t command) const { return lastAnswer_[command]; }
    void ForgetAnswer(uint8_t command) { lastAnswer_[command].clear(); }
    double LastAnswerUs() const { return lastAnswerUs_; }

    // Acknowledged writes of the configuration (blocks, correction table,
    // store to flash) since the session began: restore points are taken
    // when it moved.
    uint64_t ConfigWrites() const { return configWrites_; }

    // Whether the ECU holds changes not stored in its flash.
    StoreTracker& Store() { return store_; }
    const StoreTracker& Store() const { return store_; }

  private:
    ClsComm& comm_;
    ParamRequests requests_;
    QString samples_[4];
    std::array<QString, 256> lastAnswer_;
    double lastAnswerUs_ = 0;
    uint64_t configWrites_ = 0;
    StoreTracker store_;
};

}  // namespace gascal
