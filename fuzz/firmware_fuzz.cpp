// The firmware side of the files: the line reader (plain and scrambled),
// the firmware file loaded against the shipped flash table, the flash
// table itself and the port settings file, chosen by the first byte.
#include "FuzzSupport.h"
#include "common/TextFile.h"
#include "link/core/ClsComm.h"
#include "link/firmware/FlashImage.h"
#include "link/firmware/FlashTable.h"
#include "link/firmware/LineReader.h"

using namespace gascal;

namespace {

const FlashTable& ShippedTable() {
    static FlashTable table = [] {
        FlashTable t;
        t.ReadFile(fuzz::Setup() + QStringLiteral("/BIN/Flash.ini"));
        return t;
    }();
    return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Setup();
    const fuzz::Selected in = fuzz::Select(data, size, 4);
    switch (in.choice) {
        case 0: {
            const QString path = fuzz::WriteInput(QStringLiteral("lines.txt"), in.data, in.size);
            ReadLinesChecked(path);
            const QStringList lines = ReadLines(path);
            for (const QString& l : lines) DecodeScrambledLine(l);
            break;
        }
        case 1: {
            const QString path = fuzz::WriteInput(QStringLiteral("fw.frh"), in.data, in.size);
            const FlashTable& table = ShippedTable();
            ReadFirmwareFile(path, table);
            FlashImage image;
            if (image.LoadFirmware(path, table)) image.FirmwareFle(table);
            RecordAddressList(path, table);
            break;
        }
        case 2: {
            const QString path = fuzz::WriteInput(QStringLiteral("Flash.ini"), in.data, in.size);
            FlashTable table;
            table.ReadFile(path);
            break;
        }
        default: {
            fuzz::WriteInstallFile(QStringLiteral("BIN/SetCom.ini"), in.data, in.size);
            static ClsComm comm;
            comm.ReadSetCom(QStringLiteral("\\BIN\\SetCom.ini"));
            comm.ComPortNome();
            break;
        }
    }
    return 0;
}
