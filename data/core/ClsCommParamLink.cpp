#include "data/core/ClsCommParamLink.h"

#include "common/Helpers.h"
#include "data/core/ParamImage.h"
#include "link/core/Frame.h"

namespace gascal {

void ParamAnswerSink::OnMem1(const QString& hex) {
    image_.DecodeMem1(hex);
}
void ParamAnswerSink::OnMem2(const QString& hex) {
    image_.DecodeMem2(hex);
}
void ParamAnswerSink::OnMem3(const QString& hex) {
    image_.DecodeMem3(hex);
}
void ParamAnswerSink::OnMem5(const QString& hex) {
    image_.DecodeMem5(hex);
}
void ParamAnswerSink::OnWriteMem2Ack() {
    image_.OnMem2WriteAcknowledged();
}

ClsCommParamLink::ClsCommParamLink(ClsComm& comm, ParamImage& image, bool installSink)
    : comm_(comm), sink_(image), installed_(installSink) {
    if (installed_) comm_.SetAnswerSink(&sink_);
}

ClsCommParamLink::~ClsCommParamLink() {
    if (installed_) comm_.SetAnswerSink(nullptr);
}

bool ClsCommParamLink::SendAndWait(uint8_t command, const std::vector<uint8_t>& data) {
    return comm_.SendAndWait(BuildRequest(
        command,
        QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()))));
}

bool ClsCommParamLink::SendFrameAndWait(const QByteArray& frame) {
    return comm_.SendAndWait(frame);
}

bool ClsCommParamLink::PopAnswer(std::vector<uint8_t>& data) {
    const QByteArray a = comm_.AnswerQueuePop();
    if (a.isEmpty()) return false;
    data.assign(a.begin(), a.end());
    return true;
}

QString ClsCommParamLink::MemoDataCollaudoHex() const {
    return BytesToHex(comm_.MemoDataCollaudo());
}

}  // namespace gascal
