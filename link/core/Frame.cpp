#include "link/core/Frame.h"

#include <algorithm>

#include "common/Helpers.h"

namespace gascal {

uint8_t Checksum(const QByteArray& bytes) {
    uint8_t x = 0;
    for (char c : bytes) x ^= static_cast<uint8_t>(c);
    return x;
}

QByteArray BuildFrame(uint8_t start, uint8_t second, uint8_t command, const QByteArray& data) {
    // LEN is one byte holding data length + 3.
    const QByteArray body = data.left(255 - 3);
    QByteArray f;
    f.reserve(body.size() + 5);
    f.append(static_cast<char>(start));
    f.append(static_cast<char>(second));
    f.append(static_cast<char>(body.size() + 3));
    f.append(static_cast<char>(command));
    f.append(body);
    f.append(static_cast<char>(Checksum(f)));
    return f;
}

QByteArray BuildRequest(uint8_t command, const QByteArray& data) {
    return BuildFrame(FRAME_REQUEST_START, FRAME_REQUEST_SECOND, command, data);
}

QByteArray BuildAnswer(uint8_t command, uint8_t status, const QByteArray& data) {
    QByteArray body;
    body.append(static_cast<char>(status));
    body.append(data);
    return BuildFrame(FRAME_ANSWER_START, FRAME_ANSWER_SECOND, command, body);
}

QByteArray AnswerData(const QByteArray& frame) {
    if (frame.size() <= ANSWER_DATA_OFFSET + 1) return {};
    // LEN counts command, status, data and checksum plus 1: the data are
    // LEN - 4 bytes. Bytes read after the checksum belong to no answer.
    const qsizetype announced = static_cast<qsizetype>(FrameByte(frame, 2)) - 4;
    const qsizetype present = frame.size() - ANSWER_DATA_OFFSET - 1;
    if (announced <= 0) return {};
    return frame.mid(ANSWER_DATA_OFFSET, std::min(announced, present));
}

QByteArray FrameFromHex(const QString& hex) {
    const std::vector<uint8_t> v = HexToBytes(hex);
    return QByteArray(reinterpret_cast<const char*>(v.data()), static_cast<qsizetype>(v.size()));
}

int FrameCommand(const QByteArray& frame) {
    return frame.size() > ANSWER_CMD_OFFSET ? FrameByte(frame, ANSWER_CMD_OFFSET) : -1;
}

}  // namespace gascal
