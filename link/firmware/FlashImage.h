// The PC's image of the ECU's program memory, built from the firmware file.
// Image byte k stands for flash address (first address of block 0) + k.
// The firmware file holds Motorola "S2" records (24-bit address) and, after
// them, the key "[AdrFrmwarEcu]" with the flash address of the firmware
// identity: 6 identity bytes (version, day, month, year) and the 32
// characters of the project descriptor.
//
// Every record is checked before anything is stored: its byte count, its
// checksum and that its bytes lie inside the flash blocks. A file with one
// bad record is refused whole (the image is left as it was and the bad line
// is named), so no upgrade can start from a damaged file. The key follows all
// records, so a file cut short anywhere has lost it: such a file still loads
// into the image, but its identity cannot be read and its record address
// list is refused, which keeps an upgrade from starting with it.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "link/firmware/FlashTable.h"

namespace gascal {

// One data record of the firmware file.
struct FirmwareRecord {
    uint32_t address = 0;
    std::vector<uint8_t> data;
    int line = 0;  // line number in the file
};

// A firmware file read and checked against a flash table.
struct FirmwareFileContent {
    bool exists = false;
    bool valid = false;           // exists, and every record verified and lies in the flash
    QString error;                // why the file is refused (names the line)
    int badLine = 0;              // file line number of the first bad line, 0 if none
    bool hasIdentityKey = false;  // "[AdrFrmwarEcu]" present: the file is complete
    QString adrFrmwarEcu;         // the key's address line when the key is present
    std::vector<FirmwareRecord> records;
};

// Reads the file with the line reader and checks every record.
FirmwareFileContent ReadFirmwareFile(const QString& path, const FlashTable& table);

// Checks one "S2" line: count, hexadecimal digits and checksum. On success
// fills `record` (address and data) and returns an empty text; otherwise
// returns what is wrong.
QString ParseS2Record(const QString& line, FirmwareRecord& record);
// Builds a valid "S2" line for the address and data (checksum computed).
QString MakeS2Record(uint32_t address, const std::vector<uint8_t>& data);

class FlashImage {
  public:
    // Resizes the image to indices 0..upper. With `preserve` the contents
    // are kept; new bytes are 0xFF, the value of erased flash. A negative
    // size is ignored.
    void RedimTableFlash(int64_t upper, bool preserve);
    // Last index of the image, -1 when empty.
    int64_t TableFlashUBound() const { return static_cast<int64_t>(bytes_.size()) - 1; }
    // Image byte `index`; 0xFF outside the image.
    uint8_t TableFlash(int64_t index) const;
    // Sets image byte `index`; ignored outside the image.
    void SetTableFlash(int64_t index, uint8_t value);
    void Fill(uint8_t value);
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

    // Address of the firmware identity in the flash, hexadecimal text.
    const QString& AdrFrmwarEcu() const { return adrFrmwarEcu_; }
    void SetAdrFrmwarEcu(const QString& hex) { adrFrmwarEcu_ = hex; }

    // Loads the firmware file into the image. False when the file is missing,
    // holds no record, or any record is bad (count, checksum, outside the
    // flash blocks or the image); then nothing is changed and LastError()
    // names the bad line. A file without the identity key leaves
    // AdrFrmwarEcu() as it was.
    bool LoadFirmware(const QString& path, const FlashTable& table);
    const QString& LastError() const { return lastError_; }
    int BadLine() const { return badLine_; }
    // The last successful load found the identity key.
    bool LoadedWithIdentityKey() const { return loadedWithKey_; }

    // Identity text of the firmware in the image: the 6 bytes at
    // AdrFrmwarEcu() as 12 hexadecimal digits, then the 32 bytes after them
    // as characters. Empty when the identity address is not hexadecimal or
    // the 38 bytes do not all lie in the image.
    QString FirmwareFle(const FlashTable& table) const;

  private:
    std::vector<uint8_t> bytes_;
    QString adrFrmwarEcu_;
    QString lastError_;
    int badLine_ = 0;
    bool loadedWithKey_ = false;
};

// The 6-digit address of every record of the firmware file, in file order.
// One empty entry when the file is missing, damaged (a bad record or a
// record outside the flash blocks) or incomplete (no identity key), which
// stops any upgrade from it.
QStringList RecordAddressList(const QString& path, const FlashTable& table);

// The file side of the firmware identity read: reads the flash table file,
// sizes the image to the flash and fills it with 0xFF, loads the firmware
// file and gives its identity text. False (with `error`) when the table or
// the firmware file cannot be used, or the file has no identity key.
bool ReadFirmwareFileIdentity(FlashTable& table, FlashImage& image, const QString& flashIniPath,
                              const QString& firmwarePath, QString& identity,
                              QString* error = nullptr);
// The same with the installation's "\BIN\Flash.ini" and "\BIN\TeluroInj468.frh".
bool ReadFirmwareFileIdentity(FlashTable& table, FlashImage& image, QString& identity,
                              QString* error = nullptr);

// The firmware file of the installation.
QString FirmwareFilePath();

}  // namespace gascal
