#include "link/firmware/FirmwareWriter.h"

#include <QDate>

#include "common/Helpers.h"
#include "link/firmware/FlashImage.h"

namespace gascal {

namespace {

constexpr int kDescriptorLength = 32;

bool AllDigits(const QString& s) {
    for (QChar c : s)
        if (!c.isDigit()) return false;
    return true;
}

// xorshift32: a fixed, portable sequence so the same description always
// gives the same file.
class ProgramBytes {
  public:
    explicit ProgramBytes(uint32_t seed) : state_(seed ? seed : 0x2545F491u) {}
    uint8_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<uint8_t>(state_ >> 24);
    }

  private:
    uint32_t state_;
};

// Any S-record (S0 header, S8 end) with a 16- or 24-bit address field.
QString MakeRecord(const char* type, uint32_t address, int addressBytes,
                   const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes;
    bytes.push_back(static_cast<uint8_t>(addressBytes + data.size() + 1));
    for (int i = addressBytes - 1; i >= 0; --i)
        bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    bytes.push_back(static_cast<uint8_t>(~sum & 0xFF));
    return QString::fromLatin1(type) + BytesToHex(bytes);
}

}  // namespace

bool IdentityBytes(const FirmwareDescription& d, std::vector<uint8_t>& bytes, QString* error) {
    auto fail = [&](const QString& why) {
        if (error) *error = why;
        return false;
    };
    if (d.version.size() != 4 || !AllDigits(d.version))
        return fail(QStringLiteral("version \"%1\" is not 4 digits (e.g. 0141)").arg(d.version));
    if (d.date.size() != 8 || !AllDigits(d.date) ||
        !QDate::fromString(d.date, QStringLiteral("ddMMyyyy")).isValid())
        return fail(QStringLiteral("date \"%1\" is not a date DDMMYYYY").arg(d.date));
    if (d.descriptor.size() > kDescriptorLength)
        return fail(QStringLiteral("descriptor longer than %1 characters").arg(kDescriptorLength));
    for (QChar c : d.descriptor)
        if (c.unicode() < 0x20 || c.unicode() > 0x7E)
            return fail(QStringLiteral("descriptor holds a character that is not plain text"));
    bytes = HexToBytes(d.version + d.date);
    return true;
}

FirmwareImageBuilder::FirmwareImageBuilder(uint32_t first, uint32_t last)
    : first_(first), last_(last), bytes_(last - first + 1, -1) {}

void FirmwareImageBuilder::Set(uint32_t address, uint8_t value) {
    if (address < first_ || address > last_) return;
    bytes_[address - first_] = value;
}

void FirmwareImageBuilder::Set(uint32_t address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) Set(address + static_cast<uint32_t>(i), bytes[i]);
}

QStringList FirmwareImageBuilder::Records(int recordBytes) const {
    QStringList out;
    const size_t n = bytes_.size();
    for (size_t start = 0; start < n; start += recordBytes) {
        const size_t end = std::min(n, start + recordBytes);
        bool any = false;
        for (size_t i = start; i < end && !any; ++i) any = bytes_[i] >= 0;
        if (!any) continue;
        std::vector<uint8_t> data;
        for (size_t i = start; i < end; ++i)
            data.push_back(bytes_[i] >= 0 ? static_cast<uint8_t>(bytes_[i]) : 0xFF);
        out.append(MakeS2Record(first_ + static_cast<uint32_t>(start), data));
    }
    return out;
}

QStringList BuildFirmwareLines(const FirmwareDescription& d, QString* error) {
    using L = FirmwareLayout;
    std::vector<uint8_t> identity;
    if (!IdentityBytes(d, identity, error)) return {};
    FirmwareImageBuilder image(L::kFlashFirst, L::kFlashLast);
    ProgramBytes program(d.seed);
    auto fillProgram = [&](uint32_t first, uint32_t last) {
        for (uint32_t a = first; a <= last; ++a) image.Set(a, program.Next());
    };

    // Block 0: identity and descriptor, then the application code; its last
    // 2 KiB stay erased.
    image.Set(L::kIdentityAddress, identity);
    QByteArray descriptor = d.descriptor.toLatin1().leftJustified(kDescriptorLength, ' ');
    image.Set(L::kIdentityAddress + 6, std::vector<uint8_t>(descriptor.begin(), descriptor.end()));
    fillProgram(0xFF8040, 0xFFB7FF);
    // Block 1: calibration tables and code, the boot block with its copy of
    // the identity, an erased area and the vector table.
    fillProgram(0xFFC000, 0xFFDFFF);
    image.Set(L::kBootIdentityAddress, identity);
    fillProgram(0xFFE040, 0xFFEFFF);
    constexpr uint32_t kVectors = 0xFFFF80;
    constexpr uint32_t kEntry = 0xFF8040;
    for (uint32_t v = 0; v < 32; ++v) {
        const uint32_t target = kEntry + 4 * v;
        image.Set(kVectors + 4 * v, std::vector<uint8_t>{0x00, static_cast<uint8_t>(target >> 16),
                                                         static_cast<uint8_t>(target >> 8),
                                                         static_cast<uint8_t>(target)});
    }

    QStringList lines;
    const QByteArray name = QByteArrayLiteral("TeluroInj468");
    lines.append(MakeRecord("S0", 0, 2, std::vector<uint8_t>(name.begin(), name.end())));
    lines += image.Records(L::kRecordBytes);
    lines.append(MakeRecord("S8", kEntry, 3, {}));
    lines.append(QStringLiteral("[AdrFrmwarEcu]"));
    lines.append(QStringLiteral("%1").arg(L::kIdentityAddress, 8, 16, QLatin1Char('0')).toUpper());
    return lines;
}

}  // namespace gascal
