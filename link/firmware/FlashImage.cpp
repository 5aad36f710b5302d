#include "link/firmware/FlashImage.h"

#include "common/Helpers.h"
#include "link/firmware/LineReader.h"

namespace gascal {

namespace {

const QString kIdentityKey = QStringLiteral("[AdrFrmwarEcu]");
constexpr int kIdentityBytes = 6;     // version, day, month, year
constexpr int kDescriptorBytes = 32;  // project descriptor characters
constexpr int kS2MinDigits = 10;      // count, 24-bit address, checksum

bool AllHex(const QString& text) {
    for (QChar c : text) {
        const QChar u = c.toUpper();
        if (!(u >= QLatin1Char('0') && u <= QLatin1Char('9')) &&
            !(u >= QLatin1Char('A') && u <= QLatin1Char('F')))
            return false;
    }
    return true;
}

QString Hex6(uint32_t address) {
    return QStringLiteral("%1").arg(address, 6, 16, QLatin1Char('0')).toUpper();
}

}  // namespace

QString ParseS2Record(const QString& line, FirmwareRecord& record) {
    if (!line.startsWith(QLatin1String("S2"))) return QStringLiteral("not an S2 record");
    const QString body = line.mid(2);
    if (body.size() < kS2MinDigits) return QStringLiteral("record too short");
    if (body.size() % 2) return QStringLiteral("record with an odd number of digits");
    if (!AllHex(body)) return QStringLiteral("record holds a character that is not hexadecimal");
    const std::vector<uint8_t> bytes = HexToBytes(body);
    const size_t counted = bytes.size() - 1;  // address, data and checksum
    if (bytes[0] != counted)
        return QStringLiteral("byte count %1 does not match the %2 bytes of the record")
            .arg(bytes[0])
            .arg(counted);
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
    const uint8_t expected = static_cast<uint8_t>(~sum & 0xFF);
    if (bytes.back() != expected)
        return QStringLiteral("checksum %1 where %2 was expected")
            .arg(BytesToHex(std::vector<uint8_t>{bytes.back()}),
                 BytesToHex(std::vector<uint8_t>{expected}));
    record.address = (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
    record.data.assign(bytes.begin() + 4, bytes.end() - 1);
    return QString();
}

QString MakeS2Record(uint32_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes;
    bytes.reserve(data.size() + 5);
    bytes.push_back(static_cast<uint8_t>(data.size() + 4));
    bytes.push_back(static_cast<uint8_t>(address >> 16));
    bytes.push_back(static_cast<uint8_t>(address >> 8));
    bytes.push_back(static_cast<uint8_t>(address));
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    bytes.push_back(static_cast<uint8_t>(~sum & 0xFF));
    return QStringLiteral("S2") + BytesToHex(bytes);
}

FirmwareFileContent ReadFirmwareFile(const QString& path, const FlashTable& table) {
    FirmwareFileContent c;
    const LineReadResult r = ReadLinesChecked(path);
    auto refuse = [&](int fileLine, const QString& why) {
        c.valid = false;
        c.badLine = fileLine;
        c.records.clear();
        c.error =
            fileLine > 0
                ? QStringLiteral("Firmware file %1, line %2: %3").arg(path).arg(fileLine).arg(why)
                : QStringLiteral("Firmware file %1: %2").arg(path, why);
        return c;
    };
    if (!r.exists) return refuse(0, QStringLiteral("missing or unreadable"));
    c.exists = true;
    if (!r.badLines.isEmpty())
        return refuse(r.badLines.first(), QStringLiteral("the scrambled line cannot be decoded"));

    // The key, its address line and everything after them are not scanned.
    qsizetype scanEnd = r.lines.size();
    for (qsizetype i = 0; i < r.lines.size(); ++i) {
        if (r.lines[i].trimmed() == kIdentityKey) {
            c.hasIdentityKey = true;
            scanEnd = i;
            c.adrFrmwarEcu = i + 1 < r.lines.size() ? r.lines[i + 1].trimmed() : QString();
            if (c.adrFrmwarEcu.isEmpty() || c.adrFrmwarEcu.size() > 8 || !AllHex(c.adrFrmwarEcu))
                return refuse(static_cast<int>(i + 1) + r.firstLineNumber,
                              QStringLiteral("the identity address \"%1\" is not hexadecimal")
                                  .arg(c.adrFrmwarEcu));
            c.adrFrmwarEcu = c.adrFrmwarEcu.toUpper();
            break;
        }
    }
    if (table.BlockCount() == 0) return refuse(0, QStringLiteral("no flash blocks are known"));

    for (qsizetype i = 0; i < scanEnd; ++i) {
        const QString line = r.lines[i].trimmed();
        if (!line.startsWith(QLatin1String("S2"))) continue;
        const int fileLine = static_cast<int>(i) + r.firstLineNumber;
        FirmwareRecord rec;
        const QString why = ParseS2Record(line, rec);
        if (!why.isEmpty()) return refuse(fileLine, why);
        const bool inside =
            rec.data.empty()
                ? table.BlockOf(rec.address) >= 0
                : table.CoversRange(rec.address, static_cast<uint32_t>(rec.data.size()));
        if (!inside)
            return refuse(fileLine,
                          QStringLiteral("record for %1 (%2 bytes) lies outside the flash blocks")
                              .arg(Hex6(rec.address))
                              .arg(rec.data.size()));
        rec.line = fileLine;
        c.records.push_back(std::move(rec));
    }
    if (c.records.empty()) return refuse(0, QStringLiteral("holds no S2 record"));
    c.valid = true;
    return c;
}

void FlashImage::RedimTableFlash(int64_t upper, bool preserve) {
    if (upper < 0) return;
    const size_t size = static_cast<size_t>(upper) + 1;
    if (!preserve)
        bytes_.assign(size, 0xFF);
    else
        bytes_.resize(size, 0xFF);
}

uint8_t FlashImage::TableFlash(int64_t index) const {
    if (index < 0 || index > TableFlashUBound()) return 0xFF;
    return bytes_[static_cast<size_t>(index)];
}

void FlashImage::SetTableFlash(int64_t index, uint8_t value) {
    if (index < 0 || index > TableFlashUBound()) return;
    bytes_[static_cast<size_t>(index)] = value;
}

void FlashImage::Fill(uint8_t value) {
    std::fill(bytes_.begin(), bytes_.end(), value);
}

bool FlashImage::LoadFirmware(const QString& path, const FlashTable& table) {
    lastError_.clear();
    badLine_ = 0;
    loadedWithKey_ = false;
    FirmwareFileContent c = ReadFirmwareFile(path, table);
    if (!c.valid) {
        lastError_ = c.error;
        badLine_ = c.badLine;
        return false;
    }
    const uint64_t base = table.BaseAddress();
    for (const FirmwareRecord& rec : c.records) {
        const uint64_t end = uint64_t{rec.address} + rec.data.size();
        if (rec.address < base || end - base > bytes_.size()) {
            badLine_ = rec.line;
            lastError_ = QStringLiteral(
                             "Firmware file %1, line %2: record for %3 lies outside the "
                             "flash image (%4 bytes)")
                             .arg(path)
                             .arg(rec.line)
                             .arg(Hex6(rec.address))
                             .arg(bytes_.size());
            return false;
        }
    }
    for (const FirmwareRecord& rec : c.records)
        std::copy(rec.data.begin(), rec.data.end(), bytes_.begin() + (rec.address - base));
    if (c.hasIdentityKey) adrFrmwarEcu_ = c.adrFrmwarEcu;
    loadedWithKey_ = c.hasIdentityKey;
    return true;
}

QString FlashImage::FirmwareFle(const FlashTable& table) const {
    bool ok = false;
    const uint32_t address = adrFrmwarEcu_.toUInt(&ok, 16);
    if (!ok || address < table.BaseAddress()) return QString();
    const int64_t offset = int64_t{address} - table.BaseAddress();
    if (offset + kIdentityBytes + kDescriptorBytes - 1 > TableFlashUBound()) return QString();
    std::vector<uint8_t> id(bytes_.begin() + offset, bytes_.begin() + offset + kIdentityBytes);
    QString text = BytesToHex(id);
    for (int i = 0; i < kDescriptorBytes; ++i)
        text.append(QChar(static_cast<char16_t>(bytes_[offset + kIdentityBytes + i])));
    return text;
}

QStringList RecordAddressList(const QString& path, const FlashTable& table) {
    const FirmwareFileContent c = ReadFirmwareFile(path, table);
    if (!c.valid || !c.hasIdentityKey) return QStringList{QString()};
    QStringList list;
    for (const FirmwareRecord& rec : c.records) list.append(Hex6(rec.address));
    return list;
}

QString FirmwareFilePath() {
    return SystemPath(QStringLiteral("\\BIN\\TeluroInj468.frh"));
}

bool ReadFirmwareFileIdentity(FlashTable& table, FlashImage& image, const QString& flashIniPath,
                              const QString& firmwarePath, QString& identity, QString* error) {
    identity.clear();
    auto fail = [&](const QString& why) {
        if (error) *error = why;
        return false;
    };
    if (!table.ReadFile(flashIniPath)) return fail(table.LastError());
    image.RedimTableFlash(table.LargFlash(), false);
    image.Fill(0xFF);
    if (!image.LoadFirmware(firmwarePath, table)) return fail(image.LastError());
    if (!image.LoadedWithIdentityKey())
        return fail(QStringLiteral("Firmware file %1 ends before its [AdrFrmwarEcu] key: the file "
                                   "is incomplete")
                        .arg(firmwarePath));
    identity = image.FirmwareFle(table);
    if (identity.isEmpty())
        return fail(
            QStringLiteral("Firmware file %1: the identity at \"%2\" is not inside the flash")
                .arg(firmwarePath, image.AdrFrmwarEcu()));
    return true;
}

bool ReadFirmwareFileIdentity(FlashTable& table, FlashImage& image, QString& identity,
                              QString* error) {
    return ReadFirmwareFileIdentity(table, image, SystemPath(QStringLiteral("\\BIN\\Flash.ini")),
                                    FirmwareFilePath(), identity, error);
}

}  // namespace gascal
