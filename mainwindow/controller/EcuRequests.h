// The bridge between the link object and the parameter image for the main
// window: answers of blocks 1, 2, 3 and 5 go to the image's decoders, the
// data layer's requests (blocks, mode, save to flash, correction table) are
// sent through the link's send and wait. Sample answers are kept raw for the
// injection map.
#pragma once

#include <QString>
#include <vector>

#include "data/core/ParamLink.h"
#include "data/core/ParamRequests.h"
#include "link/core/ClsComm.h"

namespace gascal {

class ParamImage;

class EcuRequests : public ParamLink, public AnswerSink {
public:
    EcuRequests(ClsComm& comm, ParamImage& image);
    ~EcuRequests() override;

    bool ReadBlock(int n) { return requests_.ReadBlock(n); }
    bool WriteBlock(int n) { return requests_.WriteBlock(n); }
    bool SetEcuMode() { return requests_.SetEcuMode(); }
    bool SaveFlash() { return requests_.SaveFlash(); }
    bool ReadCorTable() { return requests_.ReadCorTable(); }
    bool WriteCorTable() { return requests_.WriteCorTable(); }
    ParamRequests& Requests() { return requests_; }

    // Raw data of the last answers to the four sample reads
    // (CMD_READ_SMPL_BNZ, _BNZ1, _GAS, _GAS1), as hexadecimal text.
    QString samples[4];

    // ParamLink
    bool SendAndWait(uint8_t command, const std::vector<uint8_t>& data) override;
    bool SendFrameAndWait(const QByteArray& frame) override;
    bool WDogPresente() const override { return comm_.WDogPresente(); }
    bool PopAnswer(std::vector<uint8_t>& data) override;
    int ComState() const override { return comm_.ComState(); }
    int FirmwareEcuVersNum() const override { return comm_.FirmwareEcuVersNum(); }
    QString MemoDataCollaudoHex() const override;
    double AttesaGlobale_usec() const override { return comm_.AttesaGlobale_usec(); }
    void SetAttesaGlobale_usec(double us) override { comm_.SetAttesaGlobale_usec(us); }
    double AttesaGlobale_usec_Default() const override { return comm_.AttesaGlobaleDefault_usec(); }
    double MolAttesaGlobale() const override { return comm_.MolAttesaGlobale(); }

    // AnswerSink
    void OnMem1(const QString& hex) override;
    void OnMem2(const QString& hex) override;
    void OnMem3(const QString& hex) override;
    void OnMem5(const QString& hex) override;
    void OnWriteMem2Ack() override;
    void OnSamples(uint8_t command, const QString& hex) override;

private:
    ClsComm& comm_;
    ParamImage& image_;
    ParamRequests requests_;
};

}  // namespace gascal
