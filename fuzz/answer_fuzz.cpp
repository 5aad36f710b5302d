// The answer path from the bytes on the line to the decoders: a session on
// a scripted line (virtual time) sends one request and gets the fuzzer's
// bytes back as the answer, so receiving, the end-of-answer rule, the
// answer check, resending and the decoders of the image, the samples and
// the firmware identity all see them.
//
// Input: byte 0 picks the request; byte 1 says how the rest travels: bit 0
// clear sends it as it stands, bit 0 set wraps it in a well-formed answer
// frame (start, length, command, byte 2 as status, checksum) so the
// decoders see data that passed the check; bit 1 splits it in two parts
// with a pause between them.
#include <QStringList>
#include <cstdio>
#include <memory>

#include "FuzzSupport.h"
#include "common/EventService.h"
#include "ecu/EcuSession.h"
#include "ecu/InjectionMap.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "link/core/ScriptedPort.h"

using namespace gascal;

namespace {

enum class Ask {
    Mem1,
    Mem2,
    Mem3,
    Mem5,
    Cor,
    SmplBnz,
    SmplGas,
    SmplBnz1,
    SmplGas1,
    Err,
    Eco,
    Identity,
    WriteMem2,
    Count
};

struct Rig {
    VirtualEventService ev;
    ScopedEvents scope{ev};
    ScriptedPortProvider ports;
    std::shared_ptr<ScriptedLine> line = std::make_shared<ScriptedLine>();
    std::unique_ptr<EcuSession> session;
    InjectionMap map;
    // The fuzzer's answer, given once to the first request of its command.
    QByteArray answer;
    QByteArray secondPart;
    int armedCommand = -1;

    Rig() {
        fuzz::Setup();
        line->AnswerWith([this](const QByteArray& req) -> std::optional<QByteArray> {
            const int cmd = FrameCommand(req);
            if (cmd == armedCommand) {
                armedCommand = -1;
                if (!secondPart.isEmpty()) line->Feed(secondPart, MicroSeconds() + 40000);
                return answer;
            }
            if (cmd == CMD_GET_ECO) return BuildAnswer(CMD_GET_ECO, 0, QByteArrayLiteral("ECO"));
            return BuildAnswer(static_cast<uint8_t>(cmd), 0);
        });
        ports.usb.push_back(line);
        session = std::make_unique<EcuSession>(fuzz::Setup(), &ports);
        // The identity read asks the firmware file only for its identity
        // text: a fixed one keeps the shipped file from being parsed for
        // every input.
        session->Comm().SetFirmwareFileReader([](QString& identity, QString*) {
            identity = QStringLiteral("014001092026") + QString(32, QLatin1Char('G'));
            return true;
        });
        session->StartLink();
        Settle();
    }

    bool Settle() {
        return ev.RunUntil([this] { return session->Comm().ComState() == ComState::Idle; }, 20e6);
    }
};

uint8_t CommandOf(Ask a) {
    switch (a) {
        case Ask::Mem1:
            return CMD_READ_MEM1;
        case Ask::Mem2:
            return CMD_READ_MEM2;
        case Ask::Mem3:
            return CMD_READ_MEM3;
        case Ask::Mem5:
            return CMD_READ_MEM5;
        case Ask::Cor:
            return CMD_READ_TBL_COR;
        case Ask::SmplBnz:
            return CMD_READ_SMPL_BNZ;
        case Ask::SmplGas:
            return CMD_READ_SMPL_GAS;
        case Ask::SmplBnz1:
            return CMD_READ_SMPL_BNZ1;
        case Ask::SmplGas1:
            return CMD_READ_SMPL_GAS1;
        case Ask::Err:
            return CMD_READ_ERR;
        case Ask::Eco:
            return CMD_GET_ECO;
        case Ask::Identity:
            return CMD_READ_FIRMWARE;
        case Ask::WriteMem2:
            return CMD_WRT_MEM2;
        case Ask::Count:
            break;
    }
    return CMD_GET_ECO;
}

// Sends the request; true when the link took an answer.
bool Ask1(Rig& rig, Ask a) {
    RequestBridge& req = rig.session->Requests();
    bool ok = false;
    switch (a) {
        case Ask::Mem1:
            ok = req.ReadBlock(1);
            break;
        case Ask::Mem2:
            ok = req.ReadBlock(2);
            break;
        case Ask::Mem3:
            ok = req.ReadBlock(3);
            break;
        case Ask::Mem5:
            ok = req.ReadBlock(5);
            break;
        case Ask::Cor:
            ok = req.ReadCorTable();
            break;
        case Ask::SmplBnz:
        case Ask::SmplBnz1:
            ok = req.SendSimple(CommandOf(a));
            rig.map.ReadSamples(MapFuel::Petrol, req, rig.session->Image());
            break;
        case Ask::SmplGas:
        case Ask::SmplGas1:
            ok = req.SendSimple(CommandOf(a));
            rig.map.ReadSamples(MapFuel::Gas, req, rig.session->Image());
            break;
        case Ask::Err:
            ok = req.SendSimple(CMD_READ_ERR);
            break;
        case Ask::Eco:
            ok = req.SendSimple(CMD_GET_ECO);
            break;
        case Ask::Identity:
            ok = rig.session->Comm().ReadFirmwareIdentity();
            break;
        case Ask::WriteMem2:
            ok = req.WriteBlock(2);
            break;
        case Ask::Count:
            break;
    }
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<Rig> rig = std::make_unique<Rig>();
    if (size < 3) return 0;
    const Ask a = static_cast<Ask>(data[0] % static_cast<int>(Ask::Count));
    const uint8_t how = data[1];
    QByteArray bytes(reinterpret_cast<const char*>(data + 3), static_cast<int>(size - 3));
    if (how & 1) bytes = BuildAnswer(CommandOf(a), data[2], bytes);
    rig->secondPart.clear();
    if ((how & 2) && bytes.size() > 1) {
        rig->secondPart = bytes.mid(bytes.size() / 2);
        bytes.truncate(bytes.size() / 2);
    }
    rig->answer = bytes;
    rig->armedCommand = CommandOf(a);
    const bool ok = Ask1(*rig, a);
    rig->armedCommand = -1;
    // GASCAL_FUZZ_TRACE=1 shows what each input did (for looking at a corpus).
    static const bool trace = qEnvironmentVariableIsSet("GASCAL_FUZZ_TRACE");
    if (trace)
        std::fprintf(stderr, "request %d: %d answer bytes, %s, link state %d\n",
                     static_cast<int>(a), static_cast<int>(size - 3), ok ? "answered" : "no answer",
                     ComStateNumber(rig->session->Comm().ComState()));
    // Back to an idle link before the next input; a rig that cannot get
    // there is built anew (with a full report, should it be a fault).
    if (!rig->Settle()) rig = std::make_unique<Rig>();
    // What the line kept of this exchange is not needed again.
    rig->line->written.clear();
    rig->line->requests.clear();
    rig->line->requestTimes.clear();
    return 0;
}
