// Parameter files: read into the image and sent to an ECU that takes every
// write (so the block payloads are built from whatever the file held), the
// block-5 line alone, then the file written back from the image, for an
// ECU with and one without block 5 (first byte).
#include "FuzzSupport.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "data/core/ParamLink.h"

using namespace gascal;

namespace {

// An ECU that acknowledges every write and has nothing to tell.
class AcceptingLink : public ParamLink {
  public:
    explicit AcceptingLink(int version) : version_(version) {}
    bool SendAndWait(uint8_t, const std::vector<uint8_t>&) override { return true; }
    bool SendFrameAndWait(const QByteArray&) override { return true; }
    bool WDogPresente() const override { return false; }
    bool PopAnswer(std::vector<uint8_t>&) override { return false; }
    int ComState() const override { return 1; }
    int FirmwareEcuVersNum() const override { return version_; }
    QString MemoDataCollaudoHex() const override { return {}; }
    double AttesaGlobale_usec() const override { return attesa_; }
    void SetAttesaGlobale_usec(double us) override { attesa_ = us; }
    double AttesaGlobale_usec_Default() const override { return 4000000; }
    double MolAttesaGlobale() const override { return 5; }

  private:
    int version_;
    double attesa_ = 4000000;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Setup();
    const fuzz::Selected in = fuzz::Select(data, size, 2);
    const QString path = fuzz::WriteInput(QStringLiteral("fuzz.var"), in.data, in.size);
    const int version = in.choice == 0 ? 140 : 132;
    ParamImage image;
    AcceptingLink link(version);
    ParamLoadOptions options;
    options.reportBadLines = true;
    ParamLoadReport report;
    LoadParamFile(path, image, &link, options, &report);
    LoadBlock5FromFile(path, image);
    ParamFileLines(image, version, QStringLiteral("gascal"));
    return 0;
}
