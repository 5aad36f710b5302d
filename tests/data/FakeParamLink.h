// A scripted stand-in for the ECU link, used to isolate the data layer's
// request logic: it keeps the ECU's blocks and table as raw bytes, answers
// reads through the image's decoders as the link's decoder hooks do, and
// fails the requests a test chooses.
#pragma once

#include <deque>
#include <functional>

#include "data/core/ParamImage.h"
#include "data/core/ParamLink.h"
#include "link/core/CommandTable.h"

namespace gascal::testing {

class FakeParamLink : public ParamLink {
  public:
    struct Sent {
        uint8_t command;
        std::vector<uint8_t> data;
        double attesaUs;  // answer time-out while it was sent
    };

    explicit FakeParamLink(ParamImage* image = nullptr) : image_(image) {
        mem2.assign(kMem2Bytes, 0);
        mem3.assign(kMem3Bytes, 0);
        mem5.assign(kMem5Bytes, 0);
        table.assign(2 * kCorTableSize, 0);
    }

    // Raw ECU memory.
    std::vector<uint8_t> mem2, mem3, mem5, table;
    std::vector<Sent> sent;
    std::deque<std::vector<uint8_t>> queue;
    // Decides whether request number `index` is answered (default: all).
    std::function<bool(const Sent&, int index)> answers;
    // Bytes of a table-read answer (default: the whole chunk).
    std::function<int(int start)> tableAnswerBytes;
    int comState = 1;
    int version = 140;
    bool wdog = false;
    QString dcolHex;
    double attesa = 4000000, attesaDefault = 4000000, mol = 5;

    int CountOf(uint8_t command) const {
        int n = 0;
        for (const Sent& s : sent) n += s.command == command;
        return n;
    }
    std::vector<uint8_t> Commands() const {
        std::vector<uint8_t> c;
        for (const Sent& s : sent) c.push_back(s.command);
        return c;
    }

    bool SendAndWait(uint8_t command, const std::vector<uint8_t>& data) override {
        if (comState == kComStateStopped) return false;
        sent.push_back({command, data, attesa});
        if (answers && !answers(sent.back(), static_cast<int>(sent.size()) - 1)) return false;
        switch (command) {
            case CMD_WRT_MEM2:
                mem2 = data;
                break;
            case CMD_WRT_MEM3:
                mem3 = data;
                break;
            case CMD_WRT_MEM5:
                mem5 = data;
                break;
            case CMD_READ_MEM2:
                if (image_) image_->DecodeMem2(mem2);
                break;
            case CMD_READ_MEM3:
                if (image_) image_->DecodeMem3(mem3);
                break;
            case CMD_READ_MEM5:
                if (image_)
                    image_->DecodeMem5(version > kFirmwareWithBlock5
                                           ? mem5
                                           : std::vector<uint8_t>(mem5.begin(), mem5.begin() + 13));
                break;
            case CMD_WRT_TBL_COR:
                if (data.size() >= 2)
                    std::copy(data.begin() + 2, data.end(), table.begin() + 2 * data[0]);
                break;
            case CMD_READ_TBL_COR: {
                const int start = data.at(0);
                const int bytes = tableAnswerBytes ? tableAnswerBytes(start) : 2 * data.at(1);
                queue.emplace_back(table.begin() + 2 * start, table.begin() + 2 * start + bytes);
                break;
            }
            default:
                break;
        }
        return true;
    }
    bool SendFrameAndWait(const QByteArray& frame) override {
        if (comState == kComStateStopped || frame.size() < 5) return false;
        const auto* b = reinterpret_cast<const uint8_t*>(frame.constData());
        sent.push_back({b[3], std::vector<uint8_t>(b + 4, b + frame.size() - 1), attesa});
        return !answers || answers(sent.back(), static_cast<int>(sent.size()) - 1);
    }
    bool WDogPresente() const override { return wdog; }
    bool PopAnswer(std::vector<uint8_t>& data) override {
        if (queue.empty()) return false;
        data = queue.front();
        queue.pop_front();
        return true;
    }
    int ComState() const override { return comState; }
    int FirmwareEcuVersNum() const override { return version; }
    QString MemoDataCollaudoHex() const override { return dcolHex; }
    double AttesaGlobale_usec() const override { return attesa; }
    void SetAttesaGlobale_usec(double us) override { attesa = us; }
    double AttesaGlobale_usec_Default() const override { return attesaDefault; }
    double MolAttesaGlobale() const override { return mol; }

  private:
    ParamImage* image_;
};

}  // namespace gascal::testing
