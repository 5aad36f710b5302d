// The bridge between the link object and the parameter image for the main
// window and the command line: the data layer's link adapter (requests sent
// through the link's send and wait, block answers handed to the image's
// decoders) plus the sample answers, which are kept raw for the injection map.
#pragma once

#include <QString>

#include "data/core/ClsCommParamLink.h"
#include "data/core/ParamRequests.h"
#include "link/core/ClsComm.h"

namespace gascal {

class ParamImage;

class EcuRequests : public ClsCommParamLink, public ParamAnswerSink {
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

    void OnSamples(uint8_t command, const QString& hex) override;
    // The ECU cleared a fuel's sample store: so does the tool.
    void OnSamplesCleared(uint8_t command) override;

private:
    ClsComm& comm_;
    ParamRequests requests_;
};

}  // namespace gascal
