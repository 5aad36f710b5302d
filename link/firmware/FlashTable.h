// The flash block table of the ECU's program memory, read from
// "\BIN\Flash.ini": one line per block (at most 14), each starting with "H"
// and the 8 hexadecimal digits of the block's first address and ending with
// "H" and the 8 digits of its last address. The link object owns one table;
// the firmware image is laid out from the first address of block 0 on.
#pragma once

#include <QString>
#include <array>
#include <cstdint>

namespace gascal {

class FlashTable {
  public:
    static constexpr int kMaxBlocks = 14;
    // Largest image the table may describe: the firmware records carry 24-bit
    // addresses, so nothing beyond 16 MiB can ever be loaded.
    static constexpr uint32_t kMaxImageBytes = 0x1000000;

    // Reads "\BIN\Flash.ini" under the installation folder.
    bool Read();
    // Reads the given table file. False (and the table emptied) when the file
    // is missing, unreadable or holds a line that is not a valid block; the
    // reason is in LastError().
    bool ReadFile(const QString& path);

    // First (column 0) or last (column 1) address of block `row`. Rows above
    // 13 and columns above 1 are out of the table: 0 is returned and
    // `ok` (when given) is set to false.
    uint32_t BFlash(int row, int column, bool* ok = nullptr) const;
    // Last address of the last block minus the first address of block 0.
    uint32_t LargFlash() const { return largFlash_; }
    int BlockCount() const { return blockCount_; }
    // First address of block 0, the address of image byte 0.
    uint32_t BaseAddress() const { return bflash_[0][0]; }
    // Index of the block whose range holds `address`, or -1.
    int BlockOf(uint32_t address) const;
    // True when every byte of [address, address + length) lies in a block.
    bool CoversRange(uint32_t address, uint32_t length) const;

    const QString& LastError() const { return lastError_; }
    void Clear();

  private:
    std::array<std::array<uint32_t, 2>, kMaxBlocks> bflash_{};
    int blockCount_ = 0;
    uint32_t largFlash_ = 0;
    QString lastError_;
};

}  // namespace gascal
