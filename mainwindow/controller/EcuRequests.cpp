#include "mainwindow/controller/EcuRequests.h"

#include "common/Helpers.h"
#include "data/core/ParamImage.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"

namespace gascal {

EcuRequests::EcuRequests(ClsComm& comm, ParamImage& image)
    : comm_(comm), image_(image), requests_(image, *this) {
    comm_.SetAnswerSink(this);
}

EcuRequests::~EcuRequests() { comm_.SetAnswerSink(nullptr); }

bool EcuRequests::SendAndWait(uint8_t command, const std::vector<uint8_t>& data) {
    return comm_.SendAndWait(BuildRequest(
        command, QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()))));
}

bool EcuRequests::SendFrameAndWait(const QByteArray& frame) { return comm_.SendAndWait(frame); }

bool EcuRequests::PopAnswer(std::vector<uint8_t>& data) {
    const QByteArray a = comm_.AnswerQueuePop();
    if (a.isEmpty()) return false;
    data.assign(a.begin(), a.end());
    return true;
}

QString EcuRequests::MemoDataCollaudoHex() const { return BytesToHex(comm_.MemoDataCollaudo()); }

void EcuRequests::OnMem1(const QString& hex) { image_.DecodeMem1(hex); }
void EcuRequests::OnMem2(const QString& hex) { image_.DecodeMem2(hex); }
void EcuRequests::OnMem3(const QString& hex) { image_.DecodeMem3(hex); }
void EcuRequests::OnMem5(const QString& hex) { image_.DecodeMem5(hex); }
void EcuRequests::OnWriteMem2Ack() { image_.OnMem2WriteAcknowledged(); }

void EcuRequests::OnSamples(uint8_t command, const QString& hex) {
    switch (command) {
        case CMD_READ_SMPL_BNZ: samples[0] = hex; break;
        case CMD_READ_SMPL_BNZ1: samples[1] = hex; break;
        case CMD_READ_SMPL_GAS: samples[2] = hex; break;
        case CMD_READ_SMPL_GAS1: samples[3] = hex; break;
        default: break;
    }
}

}  // namespace gascal
