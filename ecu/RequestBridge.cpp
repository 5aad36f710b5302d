#include "ecu/RequestBridge.h"

#include "common/EventService.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"

namespace gascal {

RequestBridge::RequestBridge(ClsComm& comm, ParamImage& image)
    : ClsCommParamLink(comm, image, /*installSink=*/false),
      ParamAnswerSink(image),
      comm_(comm),
      requests_(image, *this) {
    comm_.SetAnswerSink(this);
}

RequestBridge::~RequestBridge() {
    comm_.SetAnswerSink(nullptr);
}

bool RequestBridge::SendSimple(uint8_t command) {
    return comm_.SendAndWait(BuildRequest(command));
}

bool RequestBridge::SendFixed(const char* frameHex) {
    return comm_.SendAndWait(FrameFromHex(QString::fromLatin1(frameHex)));
}

void RequestBridge::OnSamples(uint8_t command, const QString& hex) {
    switch (command) {
        case CMD_READ_SMPL_BNZ:
            samples_[0] = hex;
            break;
        case CMD_READ_SMPL_BNZ1:
            samples_[1] = hex;
            break;
        case CMD_READ_SMPL_GAS:
            samples_[2] = hex;
            break;
        case CMD_READ_SMPL_GAS1:
            samples_[3] = hex;
            break;
        default:
            break;
    }
}

void RequestBridge::OnSamplesCleared(uint8_t command) {
    if (command == CMD_CANC_SMPL_BNZ) {
        samples_[0].clear();
        samples_[1].clear();
    } else if (command == CMD_CANC_SMPL_GAS) {
        samples_[2].clear();
        samples_[3].clear();
    }
}

void RequestBridge::OnAnswer(uint8_t command, const QString& dataHex) {
    lastAnswer_[command] = dataHex;
    lastAnswerUs_ = MicroSeconds();
    store_.OnAnswer(command, comm_.AnsweredRequest(), dataHex);
    switch (command) {
        case CMD_WRT_MEM2:
        case CMD_WRT_MEM3:
        case CMD_WRT_MEM5:
        case CMD_WRT_TBL_COR:
        case CMD_SAVE_FLASH:
            ++configWrites_;
            break;
        default:
            break;
    }
}

}  // namespace gascal
