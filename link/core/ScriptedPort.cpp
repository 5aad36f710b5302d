#include "link/core/ScriptedPort.h"

#include <algorithm>
#include <cstring>

#include "common/EventService.h"
#include "link/core/Frame.h"

namespace gascal {

void ScriptedLine::Feed(const QByteArray& bytes, double atUs) {
    const double now = MicroSeconds();
    std::weak_ptr<ScriptedLine> self = weak_from_this();
    const bool owned = !self.expired();
    Events().Post(atUs < 0 ? now : atUs, [this, self, owned, bytes] {
        if (owned && self.expired()) return;  // the line is gone
        Arrived(bytes);
    });
}

void ScriptedLine::FeedPaced(const QByteArray& bytes, double startUs, double perByteUs) {
    double t = startUs < 0 ? MicroSeconds() : startUs;
    std::weak_ptr<ScriptedLine> self = weak_from_this();
    const bool owned = !self.expired();
    for (char c : bytes) {
        t += perByteUs;
        Events().Post(t, [this, self, owned, c] {
            if (owned && self.expired()) return;
            Arrived(QByteArray(1, c));
        });
    }
}

void ScriptedLine::Arrived(const QByteArray& bytes) {
    input.append(bytes);
    if (watcher_) watcher_();
}

void ScriptedLine::AnswerWith(Responder r, double answerDelayUs) {
    responder_ = std::move(r);
    answerDelayUs_ = answerDelayUs;
}

void ScriptedLine::FailNext(Op op, uint32_t status, int times) {
    for (int i = 0; i < times; ++i) failNext_[op].push_back(status);
}

uint32_t ScriptedLine::Call(Op op) {
    auto a = failAlways_.find(op);
    if (a != failAlways_.end() && a->second != PORT_OK) return a->second;
    auto it = failNext_.find(op);
    if (it != failNext_.end() && !it->second.empty()) {
        const uint32_t st = it->second.front();
        it->second.erase(it->second.begin());
        return st;
    }
    return PORT_OK;
}

void ScriptedLine::ScanRequests() {
    for (;;) {
        // Drop bytes that cannot start a request.
        while (!pending_.isEmpty() && static_cast<uint8_t>(pending_[0]) != FRAME_REQUEST_START)
            pending_.remove(0, 1);
        if (pending_.size() >= 2 && static_cast<uint8_t>(pending_[1]) != FRAME_REQUEST_SECOND) {
            pending_.remove(0, 1);
            continue;
        }
        if (pending_.size() < 3) return;
        const int total = static_cast<uint8_t>(pending_[2]) + 2;
        if (pending_.size() < total) return;
        const QByteArray frame = pending_.left(total);
        pending_.remove(0, total);
        requests.push_back(frame);
        requestTimes.push_back(MicroSeconds());
        if (responder_) {
            if (auto answer = responder_(frame))
                FeedPaced(*answer, MicroSeconds() + LINE_BYTE_USEC + answerDelayUs_);
        }
        if (onRequest) onRequest(frame);
    }
}

ScriptedPort::~ScriptedPort() {
    if (line_->watcherPort_ == this) {
        line_->watcher_ = nullptr;
        line_->watcherPort_ = nullptr;
    }
}

void ScriptedPort::SetInputWatcher(std::function<void()> onInput) {
    line_->watcherPort_ = onInput ? this : nullptr;
    line_->watcher_ = std::move(onInput);
}

uint32_t ScriptedPort::Configure(const LineSettings& s) {
    const uint32_t st = line_->Call(ScriptedLine::Op::Configure);
    ++line_->configures;
    if (st == PORT_OK) line_->lastSettings = s;
    return st;
}

uint32_t ScriptedPort::QueueStatus(PortQueue& q) {
    const uint32_t st = line_->Call(ScriptedLine::Op::QueueStatus);
    q = PortQueue{};
    if (st != PORT_OK) return st;
    q.inQue = line_->stalled ? 0 : static_cast<uint32_t>(line_->input.size());
    return st;
}

uint32_t ScriptedPort::Read(uint8_t* buf, uint32_t max, uint32_t& got) {
    got = 0;
    const uint32_t st = line_->Call(ScriptedLine::Op::Read);
    if (st != PORT_OK || line_->stalled) return st;
    got = std::min<uint32_t>(max, static_cast<uint32_t>(line_->input.size()));
    if (got) std::memcpy(buf, line_->input.constData(), got);
    line_->input.remove(0, got);
    return st;
}

uint32_t ScriptedPort::Write(const uint8_t* buf, uint32_t n, uint32_t& written) {
    written = 0;
    const uint32_t st = line_->Call(ScriptedLine::Op::Write);
    if (st != PORT_OK) return st;
    written = n;
    const QByteArray bytes(reinterpret_cast<const char*>(buf), static_cast<qsizetype>(n));
    line_->written.append(bytes);
    const double now = MicroSeconds();
    if (now - line_->lastWriteUs_ > LINE_REQUEST_GAP_USEC) line_->pending_.clear();
    line_->lastWriteUs_ = now;
    line_->pending_.append(bytes);
    line_->ScanRequests();
    return st;
}

uint32_t ScriptedPort::Purge(uint32_t mask) {
    const uint32_t st = line_->Call(ScriptedLine::Op::Purge);
    ++line_->purges;
    if (st == PORT_OK && (mask & PURGE_RX)) line_->input.clear();
    return st;
}

uint32_t ScriptedPort::Close() {
    const uint32_t st = line_->Call(ScriptedLine::Op::Close);
    if (st == PORT_OK) {
        ++line_->closes;
        line_->open = false;
        SetInputWatcher(nullptr);
    }
    return st;
}

uint32_t ScriptedPortProvider::UsbDeviceCount(uint32_t& count) {
    count = countStatus == PORT_OK ? static_cast<uint32_t>(usb.size()) : 0;
    return countStatus;
}

std::unique_ptr<Port> ScriptedPortProvider::OpenUsb(uint32_t index, uint32_t& status) {
    openLog << QStringLiteral("USB%1").arg(index);
    if (index >= usb.size()) {
        status = PORT_DEVICE_NOT_FOUND;
        return nullptr;
    }
    auto& line = usb[index];
    status = line->openStatus;
    if (status != PORT_OK) return nullptr;
    ++line->opens;
    line->open = true;
    return std::make_unique<ScriptedPort>(line, "USB" + std::to_string(index));
}

std::unique_ptr<Port> ScriptedPortProvider::OpenSerial(int comNumber, uint32_t& status) {
    openLog << QStringLiteral("COM%1").arg(comNumber);
    auto it = serial.find(comNumber);
    if (it == serial.end()) {
        status = PORT_DEVICE_NOT_FOUND;
        return nullptr;
    }
    status = it->second->openStatus;
    if (status != PORT_OK) return nullptr;
    ++it->second->opens;
    it->second->open = true;
    return std::make_unique<ScriptedPort>(it->second, "COM" + std::to_string(comNumber));
}

std::string ScriptedPortProvider::SerialDeviceName(int comNumber) const {
    return serial.count(comNumber) ? "scripted:COM" + std::to_string(comNumber) : std::string();
}

}  // namespace gascal
