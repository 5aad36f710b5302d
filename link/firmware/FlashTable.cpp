#include "link/firmware/FlashTable.h"

#include "common/Helpers.h"
#include "common/TextFile.h"

namespace gascal {

namespace {

constexpr int kAddressField = 9;  // "H" and 8 hexadecimal digits

bool ParseAddressField(const QString& field, uint32_t& address) {
    if (field.size() != kAddressField || field[0] != QLatin1Char('H')) return false;
    bool ok = false;
    const QString digits = field.mid(1);
    for (QChar c : digits)
        if (!c.isDigit() && !(c.toUpper() >= QLatin1Char('A') && c.toUpper() <= QLatin1Char('F')))
            return false;
    address = digits.toUInt(&ok, 16);
    return ok;
}

}  // namespace

void FlashTable::Clear() {
    bflash_ = {};
    blockCount_ = 0;
    largFlash_ = 0;
}

bool FlashTable::Read() {
    return ReadFile(SystemPath(QStringLiteral("\\BIN\\Flash.ini")));
}

bool FlashTable::ReadFile(const QString& path) {
    Clear();
    lastError_.clear();
    QStringList lines;
    if (!ReadLatin1Lines(path, lines)) {
        lastError_ = QStringLiteral("Flash table %1 is missing or unreadable").arg(path);
        return false;
    }
    auto fail = [&](int lineNo, const QString& why) {
        Clear();
        lastError_ = QStringLiteral("Flash table %1, line %2: %3").arg(path).arg(lineNo).arg(why);
        return false;
    };
    decltype(bflash_) table{};
    int count = 0;
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (line.isEmpty()) continue;
        if (count == kMaxBlocks)
            return fail(i + 1, QStringLiteral("more than %1 blocks").arg(kMaxBlocks));
        uint32_t first = 0, last = 0;
        if (line.size() < 2 * kAddressField ||
            !ParseAddressField(line.left(kAddressField), first) ||
            !ParseAddressField(line.right(kAddressField), last))
            return fail(i + 1, QStringLiteral("not a block line \"H<first>  H<last>\""));
        if (last < first) return fail(i + 1, QStringLiteral("last address below first address"));
        table[count][0] = first;
        table[count][1] = last;
        ++count;
    }
    if (count == 0) {
        lastError_ = QStringLiteral("Flash table %1 holds no block").arg(path);
        return false;
    }
    const uint32_t base = table[0][0];
    const uint32_t end = table[count - 1][1];
    auto failTable = [&](const QString& why) {
        lastError_ = QStringLiteral("Flash table %1: %2").arg(path, why);
        return false;
    };
    if (end < base) return failTable(QStringLiteral("the last block ends before block 0 starts"));
    if (end - base >= kMaxImageBytes) return failTable(QStringLiteral("flash larger than 16 MiB"));
    for (int b = 0; b < count; ++b)
        if (table[b][0] < base || table[b][1] > end)
            return failTable(
                QStringLiteral("block %1 lies outside block 0 to the last block").arg(b));
    bflash_ = table;
    blockCount_ = count;
    largFlash_ = end - base;
    return true;
}

uint32_t FlashTable::BFlash(int row, int column, bool* ok) const {
    const bool inside = row >= 0 && row < kMaxBlocks && column >= 0 && column <= 1;
    if (ok) *ok = inside;
    return inside ? bflash_[row][column] : 0;
}

int FlashTable::BlockOf(uint32_t address) const {
    for (int b = 0; b < blockCount_; ++b)
        if (address >= bflash_[b][0] && address <= bflash_[b][1]) return b;
    return -1;
}

bool FlashTable::CoversRange(uint32_t address, uint32_t length) const {
    // Walks block by block so that adjacent blocks together cover a range.
    uint64_t a = address;
    const uint64_t end = static_cast<uint64_t>(address) + length;
    while (a < end) {
        const int b = BlockOf(static_cast<uint32_t>(a));
        if (b < 0) return false;
        a = static_cast<uint64_t>(bflash_[b][1]) + 1;
    }
    return true;
}

}  // namespace gascal
