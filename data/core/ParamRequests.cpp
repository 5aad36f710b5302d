#include "data/core/ParamRequests.h"

#include <QStringList>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "data/core/ParamImageHost.h"
#include "data/core/ParamLink.h"
#include "link/core/CommandTable.h"

namespace gascal {

static_assert(kCorChunks == 4, "the header keeps four chunks");

bool ParamRequests::WriteBlock(int n) {
    uint8_t command = 0;
    switch (n) {
        case 2:
            command = CMD_WRT_MEM2;
            break;
        case 3:
            command = CMD_WRT_MEM3;
            break;
        case 5:
            command = CMD_WRT_MEM5;
            break;
        default:
            return false;
    }
    // The edits a payload carries are done only once the ECU has taken it.
    const PendingEditsRecord carried = image_.PendingEdits;
    if (!link_.SendAndWait(command, image_.BuildPayload(n))) return false;
    image_.AcknowledgeWrite(n, carried);
    return true;
}

bool ParamRequests::ReadBlock(int n) {
    switch (n) {
        case 1:
            return link_.SendAndWait(CMD_READ_MEM1, {});
        case 2:
            return link_.SendAndWait(CMD_READ_MEM2, {});
        case 3:
            return link_.SendAndWait(CMD_READ_MEM3, {});
        case 5:
            return link_.SendAndWait(CMD_READ_MEM5, {});
        case kBlockTestData:
            return link_.SendAndWait(CMD_READ_DCOL_FL, {});
        default:
            return false;
    }
}

bool ParamRequests::SaveFlash() {
    link_.SetAttesaGlobale_usec(link_.AttesaGlobale_usec() * link_.MolAttesaGlobale());
    bool ok = false;
    const std::vector<uint8_t> frame = HexToBytes(QString::fromLatin1(FRAME_SAVE_FLASH));
    ok = link_.SendFrameAndWait(
        QByteArray(reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size())));
    link_.SetAttesaGlobale_usec(link_.AttesaGlobale_usec_Default());
    return ok;
}

bool ParamRequests::SetEcuMode() {
    const char* hex = nullptr;
    if (image_.Mem2Block.EcuMode == 0)
        hex = FRAME_SET_ECU_SLAVE;
    else if (image_.Mem2Block.EcuMode == 1)
        hex = FRAME_SET_ECU_RUN;
    if (!hex) return false;
    const std::vector<uint8_t> frame = HexToBytes(QString::fromLatin1(hex));
    return link_.SendFrameAndWait(
        QByteArray(reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size())));
}

bool ParamRequests::ReadCorTable() {
    return ReadCorChunks(nullptr);
}

bool ParamRequests::ReadCorChunks(std::array<std::vector<uint8_t>, kCorChunks>* raw) {
    for (int c = 0; c < kCorChunks; ++c) {
        const int start = c * kCorChunkCount;
        const std::vector<uint8_t> request = {static_cast<uint8_t>(start),
                                              static_cast<uint8_t>(kCorChunkCount)};
        if (!link_.SendAndWait(CMD_READ_TBL_COR, request) || link_.WDogPresente()) return false;
        std::vector<uint8_t> answer;
        // A short answer leaves this chunk's entries as they were; the read goes on.
        if (link_.PopAnswer(answer) && image_.DecodeCorChunk(start, answer) && raw)
            (*raw)[c].assign(answer.begin(), answer.begin() + kCorChunkDataBytes);
    }
    return true;
}

void ParamRequests::SetCorMissing(uint8_t chunks) {
    if (chunks == corMissing_) return;
    corMissing_ = chunks;
    for (const auto& f : corListeners_) f();
}

QString ParamRequests::CorMissingEntries() const {
    // Neighbouring chunks make one range.
    QStringList ranges;
    for (int c = 0; c < kCorChunks; ++c) {
        if (!(corMissing_ & (1u << c))) continue;
        int last = c;
        while (last + 1 < kCorChunks && (corMissing_ & (1u << (last + 1)))) ++last;
        ranges << QStringLiteral("%1 to %2")
                      .arg(c * kCorChunkCount)
                      .arg((last + 1) * kCorChunkCount - 1);
        c = last;
    }
    return ranges.isEmpty() ? QString() : QStringLiteral("entries ") + ranges.join(", ");
}

bool ParamRequests::WriteCorChunks() {
    // Until a chunk is answered the ECU may hold its old entries.
    uint8_t missing = corMissing_;
    for (int c = 0; c < kCorChunks; ++c) missing |= 1u << c;
    SetCorMissing(missing);
    for (int c = 0; c < kCorChunks; ++c) {
        const int start = c * kCorChunkCount;
        if (!link_.SendAndWait(CMD_WRT_TBL_COR, image_.BuildCorChunk(start)) ||
            link_.WDogPresente())
            return false;
        SetCorMissing(corMissing_ & ~(1u << c));
    }
    return true;
}

bool ParamRequests::WriteCorTable() {
    const CorTableArray savedCor = image_.CorTable;
    const CorTableArray savedEcu = image_.CorTableEcu;
    // What the ECU is to hold, chunk by chunk, as it travels.
    std::array<std::vector<uint8_t>, kCorChunks> sent;
    for (int c = 0; c < kCorChunks; ++c) {
        const std::vector<uint8_t> chunk = image_.BuildCorChunk(c * kCorChunkCount);
        sent[c].assign(chunk.begin() + 2, chunk.end());  // after the start and the count
    }

    // An attempt writes the table and reads it back; it fails when the
    // write or the read-back fails or the ECU holds another table.
    bool held = false;
    for (int a = 0; a < kCorTableAttempts && !held; ++a) {
        if (WriteCorChunks()) {
            std::array<std::vector<uint8_t>, kCorChunks> got;
            bool readBack = false;
            for (int r = 0; r < kCorTableAttempts && !readBack; ++r) {
                readBack = ReadCorChunks(&got);
                if (!readBack) WaitMicroSeconds(kCorTableRetryWaitUs);
            }
            if (!readBack) break;
            uint8_t differ = 0;
            for (int c = 0; c < kCorChunks; ++c)
                if (got[c] != sent[c]) differ |= 1u << c;
            SetCorMissing(differ);
            held = differ == 0;
            if (held) break;
        }
        WaitMicroSeconds(kCorTableRetryWaitUs);
    }
    const bool ok = held;
    if (!ok) {
        // Both tables show again what they showed before the write.
        image_.CorTable = savedCor;
        image_.CorTableEcu = savedEcu;
    }
    if (image_.Host() && image_.Host()->ServiceView()) {
        const QString path =
            corDumpPath_.isEmpty() ? SystemPath(QStringLiteral("\\TEMPI4.TXT")) : corDumpPath_;
        WriteCorDump(image_, path);
    }
    return ok;
}

}  // namespace gascal
