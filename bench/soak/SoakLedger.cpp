#include "SoakLedger.h"

namespace gascal::soak {

namespace {
constexpr size_t kMem3Start = sim::kMem2Size;
constexpr size_t kMem5Start = kMem3Start + sim::kMem3Size;
constexpr size_t kTableStart = kMem5Start + sim::kMem5Size;

const char* RegionName(Region r) {
    switch (r) {
        case Region::Mem2:
            return "block 2";
        case Region::Mem3:
            return "block 3";
        case Region::Mem5:
            return "block 5";
        case Region::Table:
            return "table";
    }
    return "?";
}
}  // namespace

QString LedgerFault::Text() const {
    QString where = QString::fromLatin1(RegionName(at.region));
    if (at.region == Region::Table)
        where += QStringLiteral(" entry %1 byte %2").arg(at.offset / 2).arg(at.offset % 2);
    else
        where += QStringLiteral(" byte %1").arg(at.offset);
    return QStringLiteral("%1: %2, expected %3").arg(where).arg(value).arg(expected);
}

size_t SoakLedger::Index(ByteAt at) {
    switch (at.region) {
        case Region::Mem2:
            return at.offset;
        case Region::Mem3:
            return kMem3Start + at.offset;
        case Region::Mem5:
            return kMem5Start + at.offset;
        case Region::Table:
            return kTableStart + at.offset;
    }
    return 0;
}

ByteAt SoakLedger::At(size_t index) {
    if (index < kMem3Start) return {Region::Mem2, index};
    if (index < kMem5Start) return {Region::Mem3, index - kMem3Start};
    if (index < kTableStart) return {Region::Mem5, index - kMem5Start};
    return {Region::Table, index - kTableStart};
}

bool SoakLedger::Followed(ByteAt at) {
    if (at.region != Region::Mem2) return true;
    return at.offset == sim::mem2::RpmCompEnable || at.offset == sim::mem2::VacuumAcqEnable;
}

uint8_t SoakLedger::Get(const sim::ConfigImage& image, ByteAt at) {
    switch (at.region) {
        case Region::Mem2:
            return image.mem2[at.offset];
        case Region::Mem3:
            // An injector's state on gas (2 to 4) is the ECU's own: a fitted
            // injector is followed as 1.
            return image.Mem3Config()[at.offset];
        case Region::Mem5:
            return image.mem5[at.offset];
        case Region::Table:
            return image.table[at.offset];
    }
    return 0;
}

SoakLedger::SoakLedger(const sim::ConfigImage& initial) : bytes_(kBytes) {
    for (size_t i = 0; i < kBytes; ++i) {
        Byte& b = bytes_[i];
        b.expect = Get(initial, At(i));
        b.allowed.set(b.expect);
    }
}

void SoakLedger::Ask(ByteAt at, uint8_t value) {
    if (!Followed(at)) return;
    Byte& b = bytes_[Index(at)];
    b.expect = b.asked = value;
    b.hasAsk = true;
    b.delivered = false;
    b.allowed.set(value);
    ++asks_;
}

void SoakLedger::AskBlock(Region region, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) Ask({region, i}, bytes[i]);
}

void SoakLedger::Written(const sim::ConfigImage& before, const sim::ConfigImage& after) {
    for (size_t i = 0; i < kBytes; ++i) {
        const ByteAt at = At(i);
        if (!Followed(at)) continue;
        Byte& b = bytes_[i];
        const uint8_t was = Get(before, at), now = Get(after, at);
        if (now != was && !b.allowed.test(now)) {
            ++wrongWrites_;
            if (wrongSamples_.size() < kKeptFaults) wrongSamples_.push_back({at, now, b.expect});
        }
        if (b.hasAsk && now == b.asked) {
            // (Again) on the ECU: a reset before had thrown it away.
            b.delivered = true;
            b.expect = b.asked;
        }
    }
}

void SoakLedger::EcuReset(const sim::ConfigImage& now) {
    for (size_t i = 0; i < kBytes; ++i) {
        Byte& b = bytes_[i];
        if (!b.delivered) continue;
        const uint8_t held = Get(now, At(i));
        if (held != b.expect) ++lostToResets_;
        b.expect = held;
    }
}

std::vector<LedgerFault> SoakLedger::Compare(const sim::ConfigImage& ecu) const {
    std::vector<LedgerFault> out;
    for (size_t i = 0; i < kBytes; ++i) {
        const ByteAt at = At(i);
        if (!Followed(at)) continue;
        const uint8_t held = Get(ecu, at);
        if (held != bytes_[i].expect) out.push_back({at, held, bytes_[i].expect});
    }
    return out;
}

}  // namespace gascal::soak
