// What the data layer needs of the ECU link to read and write blocks and
// tables: send one request and wait for its answer, the watchdog flag, the
// answer queue where table answers arrive, the link state, the ECU's
// firmware version, its test-data frame, and the global answer time-out
// (lengthened for the slow save to flash).
//
// The production implementation wraps `ClsComm` (ClsCommParamLink); tests
// may put a scripted link here to isolate the request logic.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

namespace gascal {

// Link state in which nothing is sent (the link was stopped by the user).
inline constexpr int kComStateStopped = 8;

class ParamLink {
  public:
    virtual ~ParamLink() = default;
    // Builds the request frame for the command and data, sends it and waits
    // until the exchange is complete or given up. True when answered.
    virtual bool SendAndWait(uint8_t command, const std::vector<uint8_t>& data) = 0;
    // Sends a complete request frame given as bytes and waits likewise.
    virtual bool SendFrameAndWait(const QByteArray& frame) = 0;
    // An answer time-out occurred and no valid answer has come since.
    virtual bool WDogPresente() const = 0;
    // Takes the oldest entry of the answer queue; false when it is empty.
    virtual bool PopAnswer(std::vector<uint8_t>& data) = 0;
    virtual int ComState() const = 0;
    virtual int FirmwareEcuVersNum() const = 0;
    // The last test-data answer frame, whole, as hexadecimal text.
    virtual QString MemoDataCollaudoHex() const = 0;
    // Global answer time-out and its multiplier for slow commands.
    virtual double AttesaGlobale_usec() const = 0;
    virtual void SetAttesaGlobale_usec(double us) = 0;
    virtual double AttesaGlobale_usec_Default() const = 0;
    virtual double MolAttesaGlobale() const = 0;
};

}  // namespace gascal
