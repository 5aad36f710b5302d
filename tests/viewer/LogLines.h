// Live-data answers and log lines as the link writes them, for the tests of
// the viewer and of gascal-cli's export.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <array>
#include <cstdint>

#include "common/Helpers.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "viewer/commlog/CommLogWriter.h"

namespace gascal::testing {

// The live values of one answer, raw as they travel.
struct LiveRaw {
    std::array<int16_t, 8> signedInj{};  // element k
    std::array<uint16_t, 8> petrol{};
    std::array<uint16_t, 8> third{};
    std::array<int16_t, 8> gas{};
    uint16_t period = 0;
    uint16_t gasPressure = 0, vacuum = 0, lambda = 0;
    uint8_t key = 0, valve1 = 0, valve2 = 0;
    uint16_t level = 0;
    int16_t reducerTemp = 0, gasTemp = 0;
    uint16_t supply = 0, levelAux = 0;
};

inline void Put16(QByteArray& d, int at, int v) {
    d[at] = static_cast<char>(v & 0xFF);
    d[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

// The 85 data bytes of block 1: in each block of eight words element 7 first.
inline QByteArray Mem1Data(const LiveRaw& r) {
    QByteArray d(85, '\0');
    for (int k = 0; k < 8; ++k) {
        const size_t e = static_cast<size_t>(7 - k);
        Put16(d, 0 + 2 * k, r.signedInj[e]);
        Put16(d, 16 + 2 * k, r.petrol[e]);
        Put16(d, 32 + 2 * k, r.third[e]);
        Put16(d, 48 + 2 * k, r.gas[e]);
    }
    Put16(d, 64, r.period);
    Put16(d, 66, r.gasPressure);
    Put16(d, 68, r.vacuum);
    Put16(d, 70, r.lambda);
    d[72] = static_cast<char>(r.key);
    d[73] = static_cast<char>(r.valve1);
    d[74] = static_cast<char>(r.valve2);
    Put16(d, 75, r.level);
    Put16(d, 77, r.reducerTemp);
    Put16(d, 79, r.gasTemp);
    Put16(d, 81, r.supply);
    Put16(d, 83, r.levelAux);
    return d;
}

inline QString Mem1AnswerHex(const LiveRaw& r) {
    return BytesToHex(BuildAnswer(CMD_READ_MEM1, 0, Mem1Data(r)));
}

// A quoted record line with its line end.
inline QByteArray LogLine(qint64 ms, const char* kind, const QString& text) {
    return "\"" + QByteArray::number(ms) + " " + kind + " " + text.toLatin1() + "\"\r\n";
}

// One exchange of the live-data request as the link logs it: the command
// name, the request, a partial answer and the whole answer.
inline QByteArray Mem1Exchange(qint64 ms, const LiveRaw& r) {
    const QString answer = Mem1AnswerHex(r);
    QByteArray out = "\"CMD_READ_MEM1\"\r\n";
    out += LogLine(ms - 30, "T", BytesToHex(BuildRequest(CMD_READ_MEM1)));
    out += LogLine(ms - 10, "R", answer.left(60));
    out += LogLine(ms, "R", answer);
    return out;
}

inline QByteArray LogHeader(double rpmConstant = 15000000, const char* kLambda = " 0,001 ") {
    QByteArray h = "\"100 O  Software ver. 01.01.05 GasCal 15/01/2026 10:00:02\"\r\n";
    h += "\"[K_gm]\"\r\n" + CommLogWriter::NumberText(rpmConstant).toLatin1() + "\r\n";
    h += "\"[K_Lambda]\"\r\n" + QByteArray(kLambda) + "\r\n";
    return h;
}

inline bool WriteBytes(const QString& path, const QByteArray& data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

inline QByteArray ReadBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace gascal::testing
