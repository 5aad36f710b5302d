// The data layer on the real link: requests go through ClsComm's send and
// wait, table answers come from its answer queue, and the block answers the
// link decodes are handed to the parameter image (ClsComm's answer sink).
// The main window may use its own sink instead; it then forwards the block
// answers to the image the same way (ForwardToImage).
#pragma once

#include "data/core/ParamLink.h"
#include "link/core/ClsComm.h"

namespace gascal {

class ParamImage;

// Hands the block answers of the link to the image's decoders.
class ParamAnswerSink : public AnswerSink {
  public:
    explicit ParamAnswerSink(ParamImage& image) : image_(image) {}
    void OnMem1(const QString& hex) override;
    void OnMem2(const QString& hex) override;
    void OnMem3(const QString& hex) override;
    void OnMem5(const QString& hex) override;
    void OnWriteMem2Ack() override;

  private:
    ParamImage& image_;
};

class ClsCommParamLink : public ParamLink {
  public:
    // With `installSink`, the link's answer sink is set to forward the block
    // answers to `image` for the lifetime of this object.
    ClsCommParamLink(ClsComm& comm, ParamImage& image, bool installSink = true);
    ~ClsCommParamLink() override;
    ClsCommParamLink(const ClsCommParamLink&) = delete;
    ClsCommParamLink& operator=(const ClsCommParamLink&) = delete;

    bool SendAndWait(uint8_t command, const std::vector<uint8_t>& data) override;
    bool SendFrameAndWait(const QByteArray& frame) override;
    bool WDogPresente() const override { return comm_.WDogPresente(); }
    bool PopAnswer(std::vector<uint8_t>& data) override;
    int ComState() const override { return ComStateNumber(comm_.ComState()); }
    int FirmwareEcuVersNum() const override { return comm_.FirmwareEcuVersNum(); }
    QString MemoDataCollaudoHex() const override;
    double AttesaGlobale_usec() const override { return comm_.AttesaGlobale_usec(); }
    void SetAttesaGlobale_usec(double us) override { comm_.SetAttesaGlobale_usec(us); }
    double AttesaGlobale_usec_Default() const override { return comm_.AttesaGlobaleDefault_usec(); }
    double MolAttesaGlobale() const override { return comm_.MolAttesaGlobale(); }

  private:
    ClsComm& comm_;
    ParamAnswerSink sink_;
    bool installed_;
};

}  // namespace gascal
