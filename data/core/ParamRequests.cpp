#include "data/core/ParamRequests.h"

#include "common/EventService.h"
#include "common/Helpers.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "data/core/ParamImageHost.h"
#include "data/core/ParamLink.h"
#include "link/core/CommandTable.h"

namespace gascal {

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
    for (int c = 0; c < kCorChunks; ++c) {
        const int start = c * kCorChunkCount;
        const std::vector<uint8_t> request = {static_cast<uint8_t>(start),
                                              static_cast<uint8_t>(kCorChunkCount)};
        if (!link_.SendAndWait(CMD_READ_TBL_COR, request) || link_.WDogPresente()) return false;
        std::vector<uint8_t> answer;
        // A short answer leaves this chunk's entries as they were; the read goes on.
        if (link_.PopAnswer(answer)) image_.DecodeCorChunk(start, answer);
    }
    return true;
}

bool ParamRequests::WriteCorChunks() {
    for (int c = 0; c < kCorChunks; ++c) {
        const int start = c * kCorChunkCount;
        if (!link_.SendAndWait(CMD_WRT_TBL_COR, image_.BuildCorChunk(start)) ||
            link_.WDogPresente())
            return false;
    }
    return true;
}

bool ParamRequests::WriteCorTable() {
    const CorTableArray savedCor = image_.CorTable;
    const CorTableArray savedEcu = image_.CorTableEcu;

    bool written = false;
    for (int a = 0; a < kCorTableAttempts && !written; ++a) {
        written = WriteCorChunks();
        if (!written) WaitMicroSeconds(kCorTableRetryWaitUs);
    }
    bool readBack = false;
    if (written) {
        for (int a = 0; a < kCorTableAttempts && !readBack; ++a) {
            readBack = ReadCorTable();
            if (!readBack) WaitMicroSeconds(kCorTableRetryWaitUs);
        }
    }
    const bool ok = written && readBack;
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
