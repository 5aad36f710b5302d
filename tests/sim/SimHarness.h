// Test harness: a simulated ECU behind its in-process port, on a virtual clock,
// with helpers that write raw request frames and collect raw answers.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "common/EventService.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimPort.h"

namespace gascal::sim::test {

class SimHarness {
  public:
    explicit SimHarness(const SimOptions& options = SimOptions()) : scope_(ev_) {
        ecu_ = std::make_shared<SimEcu>(options);
        provider_ = std::make_unique<SimUsbProvider>(ecu_);
        Reopen();
    }

    void Reopen() {
        uint32_t status = 0;
        port_ = provider_->OpenUsb(0, status);
        openStatus_ = status;
        if (port_) port_->Configure(LineSettings{});
    }

    // Writes a frame one byte at a time with the tool's pause after each byte.
    void Send(const std::vector<uint8_t>& frame, double pauseUs = 500) {
        for (uint8_t b : frame) {
            uint32_t written = 0;
            ASSERT_EQ(port_->Write(&b, 1, written), PORT_OK);
            ev_.RunFor(pauseUs);
        }
    }

    // Reads what has arrived so far.
    std::vector<uint8_t> Drain() {
        std::vector<uint8_t> out;
        PortQueue q;
        if (port_->QueueStatus(q) != PORT_OK || q.inQue == 0) return out;
        out.resize(q.inQue);
        uint32_t got = 0;
        port_->Read(out.data(), q.inQue, got);
        out.resize(got);
        return out;
    }

    // Collects bytes until a whole answer frame (by its length byte) is there or
    // `maxUs` have passed.
    std::vector<uint8_t> Collect(double maxUs = 1e6) {
        std::vector<uint8_t> in;
        const double end = ev_.MicroSeconds() + maxUs;
        while (ev_.MicroSeconds() < end) {
            const auto more = Drain();
            in.insert(in.end(), more.begin(), more.end());
            if (in.size() >= 3 && in.size() >= static_cast<size_t>(in[2]) + 2) break;
            ev_.RunFor(1000);
        }
        return in;
    }

    std::vector<uint8_t> Exchange(uint8_t cmd, const std::vector<uint8_t>& data = {},
                                  double maxUs = 1e6) {
        Send(BuildRequest(cmd, data));
        return Collect(maxUs);
    }

    // Answer data of a good answer (fails the test when the answer is not one).
    std::vector<uint8_t> Data(uint8_t cmd, const std::vector<uint8_t>& data = {}) {
        const auto a = Exchange(cmd, data);
        EXPECT_GE(a.size(), 6u);
        if (a.size() < 6) return {};
        EXPECT_EQ(a[4], kStatusDone) << "command " << int(cmd);
        return std::vector<uint8_t>(a.begin() + 5, a.end() - 1);
    }

    uint8_t Status(uint8_t cmd, const std::vector<uint8_t>& data = {}) {
        const auto a = Exchange(cmd, data);
        EXPECT_GE(a.size(), 6u) << "command " << int(cmd);
        return a.size() >= 6 ? a[4] : 0xEE;
    }

    // Runs the engine for `seconds` of virtual time.
    void Run(double seconds) {
        ev_.RunFor(seconds * 1e6);
        ecu_->AdvanceTo(ev_.MicroSeconds());
    }

    VirtualEventService& Ev() { return ev_; }
    SimEcu& Ecu() { return *ecu_; }
    std::shared_ptr<SimEcu> EcuPtr() { return ecu_; }
    SimUsbProvider& Provider() { return *provider_; }
    Port* PortPtr() { return port_.get(); }
    uint32_t OpenStatus() const { return openStatus_; }

  private:
    VirtualEventService ev_;
    ScopedEvents scope_;
    std::shared_ptr<SimEcu> ecu_;
    std::unique_ptr<SimUsbProvider> provider_;
    std::unique_ptr<Port> port_;
    uint32_t openStatus_ = 0;
};

// A warm car idling with the key on.
inline SimOptions IdlingCar() {
    SimOptions o;
    o.key = true;
    o.engineRunning = true;
    o.warm = true;
    return o;
}

}  // namespace gascal::sim::test
