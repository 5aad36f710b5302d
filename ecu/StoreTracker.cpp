#include "ecu/StoreTracker.h"

#include "common/Helpers.h"
#include "data/core/ParamImage.h"
#include "link/core/CommandTable.h"

namespace gascal {

namespace {

// Block 2's settings: RpmCompEnable and VacuumAcqEnable. The fuel and mode
// bytes, the hour counters and the cut-off flag are the ECU's state.
constexpr int kMem2SettingsAt = 11;
constexpr int kMem2SettingsBytes = 2;
// Block 3's injector flags: a check state (2 to 4) is a fitted injector.
constexpr int kMem3InjEnableAt = 14;
constexpr int kCylinders = 8;
constexpr int kFrameHeader = 4;  // 0x41, 0x02, length, command

QByteArray Mem2Settings(const QByteArray& block) {
    return block.mid(kMem2SettingsAt, kMem2SettingsBytes);
}

QByteArray Mem3Settings(QByteArray block) {
    for (int i = kMem3InjEnableAt; i < kMem3InjEnableAt + kCylinders && i < block.size(); ++i)
        if (block[i] != 0) block[i] = 1;
    return block;
}

// The data bytes of a request frame (without header and checksum).
QByteArray RequestData(const QByteArray& request) {
    if (request.size() <= kFrameHeader) return {};
    return request.mid(kFrameHeader, request.size() - kFrameHeader - 1);
}

QByteArray FromHex(const QString& hex) {
    bool ok = false;
    const std::vector<uint8_t> b = HexToBytes(hex, &ok);
    return ok ? QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<int>(b.size()))
              : QByteArray();
}

}  // namespace

bool StoreTracker::Unstored() const {
    for (const Part& p : parts_)
        if (p.changed) return true;
    return false;
}

void StoreTracker::Read(size_t part, const QByteArray& bytes) {
    Part& p = parts_[part];
    if (!p.changed) {
        p.stored = bytes;
        p.known = true;
        return;
    }
    p.current = bytes;
    if (p.known && p.current == p.stored) p.changed = false;
}

void StoreTracker::Written(size_t part, const QByteArray& bytes) {
    Part& p = parts_[part];
    p.current = bytes;
    // A part never read is not known to be stored: a write to it counts.
    p.changed = !p.known || p.current != p.stored;
}

void StoreTracker::Notify(bool before) {
    const bool now = Unstored();
    if (now == before) return;
    for (const auto& f : listeners_) f(now);
}

void StoreTracker::OnAnswer(uint8_t command, const QByteArray& request, const QString& dataHex) {
    const bool before = Unstored();
    const QByteArray sent = RequestData(request);
    switch (command) {
        case CMD_READ_MEM2:
            Read(kBlock2, Mem2Settings(FromHex(dataHex)));
            break;
        case CMD_READ_MEM3:
            Read(kBlock3, Mem3Settings(FromHex(dataHex)));
            break;
        case CMD_READ_MEM5:
            Read(kBlock5, FromHex(dataHex));
            break;
        case CMD_WRT_MEM2:
            Written(kBlock2, Mem2Settings(sent));
            break;
        case CMD_WRT_MEM3:
            Written(kBlock3, Mem3Settings(sent));
            break;
        case CMD_WRT_MEM5:
            Written(kBlock5, sent);
            break;
        case CMD_READ_TBL_COR:
        case CMD_WRT_TBL_COR: {
            // Both requests start with the chunk's first entry and count.
            if (sent.size() < 2) break;
            const int chunk = static_cast<uint8_t>(sent[0]) / kCorChunkCount;
            if (chunk >= kCorChunks) break;
            const size_t part = kTable0 + static_cast<size_t>(chunk);
            if (command == CMD_READ_TBL_COR) {
                const QByteArray data = FromHex(dataHex);
                // A short answer leaves the tool's copy of the chunk as it was.
                if (data.size() >= kCorChunkDataBytes) Read(part, data.left(kCorChunkDataBytes));
            } else {
                Written(part, sent.mid(2, kCorChunkDataBytes));
            }
            break;
        }
        case CMD_SAVE_FLASH:
            for (Part& p : parts_) {
                if (!p.changed) continue;
                p.stored = p.current;
                p.known = true;
                p.changed = false;
            }
            break;
        default:
            break;
    }
    Notify(before);
}

}  // namespace gascal
