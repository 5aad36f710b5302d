#include "mainwindow/controller/EcuRequests.h"

#include "link/core/CommandTable.h"

namespace gascal {

EcuRequests::EcuRequests(ClsComm& comm, ParamImage& image)
    : ClsCommParamLink(comm, image, /*installSink=*/false),
      ParamAnswerSink(image),
      comm_(comm),
      requests_(image, *this) {
    comm_.SetAnswerSink(this);
}

EcuRequests::~EcuRequests() { comm_.SetAnswerSink(nullptr); }

void EcuRequests::OnSamples(uint8_t command, const QString& hex) {
    switch (command) {
        case CMD_READ_SMPL_BNZ: samples[0] = hex; break;
        case CMD_READ_SMPL_BNZ1: samples[1] = hex; break;
        case CMD_READ_SMPL_GAS: samples[2] = hex; break;
        case CMD_READ_SMPL_GAS1: samples[3] = hex; break;
        default: break;
    }
}

void EcuRequests::OnSamplesCleared(uint8_t command) {
    if (command == CMD_CANC_SMPL_BNZ) {
        samples[0].clear();
        samples[1].clear();
    } else if (command == CMD_CANC_SMPL_GAS) {
        samples[2].clear();
        samples[3].clear();
    }
}

}  // namespace gascal
