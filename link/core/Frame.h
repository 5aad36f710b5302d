// Request and answer frames of the ECU line.
//
// Request (PC to ECU): 0x41 0x02 LEN CMD DATA... CHK
// Answer  (ECU to PC): 0x42 0x01 LEN CMD STATUS DATA... CHK
// LEN is the number of bytes after CMD plus 3, so a whole frame is LEN + 2
// bytes long; CHK is the exclusive-or of every byte before it, which makes
// the exclusive-or of a whole valid frame 0. Frames are held as byte strings.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

namespace gascal {

constexpr uint8_t FRAME_REQUEST_START = 0x41;
constexpr uint8_t FRAME_REQUEST_SECOND = 0x02;
constexpr uint8_t FRAME_ANSWER_START = 0x42;
constexpr uint8_t FRAME_ANSWER_SECOND = 0x01;
// LEN is one byte: the longest frame the line can carry.
constexpr int FRAME_MAX_BYTES = 255 + 2;
// Offsets inside an answer frame.
constexpr int ANSWER_CMD_OFFSET = 3;
constexpr int ANSWER_STATUS_OFFSET = 4;
constexpr int ANSWER_DATA_OFFSET = 5;
// Shortest answer that carries a command and a status byte.
constexpr int ANSWER_MIN_BYTES = 6;

// Answer status byte.
constexpr uint8_t ANSWER_STATUS_DONE = 0;
constexpr uint8_t ANSWER_STATUS_EXEC_ERROR = 254;
constexpr uint8_t ANSWER_STATUS_CHECKSUM_ERROR = 255;

// Exclusive-or of all bytes; 0 for an empty text.
uint8_t Checksum(const QByteArray& bytes);

// start & second & (data length + 3) & command & data & checksum.
// Data longer than a frame can announce is cut to what fits.
QByteArray BuildFrame(uint8_t start, uint8_t second, uint8_t command, const QByteArray& data);

// A request frame (0x41 0x02 ...).
QByteArray BuildRequest(uint8_t command, const QByteArray& data = QByteArray());

// An answer frame as the ECU builds it (tests and the simulated line use it).
QByteArray BuildAnswer(uint8_t command, uint8_t status, const QByteArray& data = QByteArray());

// Answer data: the LEN - 4 bytes from offset 5, up to, not including, the
// checksum at LEN + 1 (bytes after it are not part of the answer); empty when
// the frame is too short to have any.
QByteArray AnswerData(const QByteArray& frame);

// Command byte of a frame (offset 3), or -1 when the frame is shorter.
int FrameCommand(const QByteArray& frame);

// Bytes of a frame held as hexadecimal text (fixed frames, addresses);
// empty for text that is not hexadecimal.
QByteArray FrameFromHex(const QString& hex);

// Byte i of a frame as an unsigned value.
inline uint8_t FrameByte(const QByteArray& frame, int i) {
    return static_cast<uint8_t>(frame[i]);
}

}  // namespace gascal
