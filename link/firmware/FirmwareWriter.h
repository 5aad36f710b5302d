// Builds firmware files: the "S2" records of a flash image followed by the
// identity key. Used by the firmware tool that produces the installation's
// firmware file, and by tests that need firmware files of their own.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace gascal {

// The identity a firmware carries and how its image is filled.
struct FirmwareDescription {
    QString version = QStringLiteral("0140");                    // major and minor, 2 digits each
    QString date = QStringLiteral("01092026");                   // DDMMYYYY
    QString descriptor = QStringLiteral("KT540 GASCAL INJ468");  // padded to 32 with blanks
    uint32_t seed = 468;                                         // program bytes generator
};

// Flash layout of the injection ECU (see docs/firmware.md).
struct FirmwareLayout {
    static constexpr uint32_t kFlashFirst = 0xFF8000;
    static constexpr uint32_t kFlashLast = 0xFFFFFF;
    static constexpr uint32_t kIdentityAddress = 0xFF8000;      // 6 identity + 32 descriptor bytes
    static constexpr uint32_t kBootIdentityAddress = 0xFFE000;  // boot block copy of the 6 bytes
    static constexpr int kRecordBytes = 32;                     // data bytes per record
};

// The 6 identity bytes of a description ("0140" + "01092026" gives
// 01 41 01 09 20 26). False when the version is not 4 digits or the date not
// a valid DDMMYYYY date.
bool IdentityBytes(const FirmwareDescription& d, std::vector<uint8_t>& bytes, QString* error);

// A sparse flash image: bytes that are not set are erased (0xFF) and get no record.
class FirmwareImageBuilder {
  public:
    FirmwareImageBuilder(uint32_t first, uint32_t last);
    void Set(uint32_t address, uint8_t value);
    void Set(uint32_t address, const std::vector<uint8_t>& bytes);
    // Records of `recordBytes` data bytes for every aligned chunk holding
    // at least one set byte; unset bytes in such a chunk are 0xFF.
    QStringList Records(int recordBytes) const;

  private:
    uint32_t first_, last_;
    std::vector<int16_t> bytes_;  // -1: not set
};

// The whole firmware file as plain lines: header record, data records, end
// record, "[AdrFrmwarEcu]" and the identity address. Empty (with `error`)
// when the description is not valid.
QStringList BuildFirmwareLines(const FirmwareDescription& d, QString* error = nullptr);

}  // namespace gascal
