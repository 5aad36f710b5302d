// The signal viewer's sample: one decoded answer to the live-data request
// (CMD_READ_MEM1), either read back from a log line or copied from the live
// record the link's answer handling has just decoded, and the eight
// channels the viewer draws from it.
//
// A log line of a live-data answer looks like
//   "123456 R 42015B0C00<85 data bytes>CK"
// (182 hexadecimal characters: header 42 01 LEN 0C, status, 85 data bytes,
// checksum). Words travel low byte first; in each block of eight words the
// first word on the wire is element 7.
#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>

namespace gascal {

struct Mem1Fields;
class ParamImage;

inline constexpr int kViewChannels = 8;
inline constexpr int kViewInjectors = 8;
// The live-data answer: 5 header bytes, 85 data bytes, the checksum.
inline constexpr int kMem1AnswerBytes = 91;
// A line is considered only from this length on.
inline constexpr int kMinDataLineChars = 183;
// The hex text with its closing quote must be longer than this.
inline constexpr int kMinDataHexChars = 181;
// An engine speed above this is a misreading: drawn (and read out) as 0.
inline constexpr int kRpmDrawLimit = 18000;
// Revolution constant and lambda factor of a log that carries none.
inline constexpr double kDefaultRpmConstant = 15000000;
inline constexpr double kDefaultKLambda = 0.001;

struct ViewSample {
    std::array<double, 8> SignedInjTimes{};  // ms; above 0 while the injector runs on gas
    std::array<double, 8> PetrolInjTimes{};  // ms
    std::array<double, 8> ThirdInjBlock{};   // kept, never shown
    std::array<double, 8> GasInjTimes{};     // ms
    int32_t Rpm = 0;
    double GasPressureRaw = 0;
    double VacuumRaw = 0;
    double LambdaVolts = 0;
    uint8_t KeyOn = 0;
    uint8_t Valve1Open = 0;
    uint8_t Valve2Open = 0;
    double LevelRaw = 0;
    int16_t ReducerTemp = 0;
    int16_t GasTemp = 0;
    double SupplyVolts = 0;
    double LevelAux = 0;
    double SampleTimeMs = 0;
    // The revolution-period word the speed came from (0 when none is known,
    // as for a table file): lets the speed follow a new revolution constant.
    double RpmPeriod = 0;
    bool operator==(const ViewSample&) const = default;
};

// The factors a sample is decoded with. The injection and supply factors
// and the petrol-control flag are the installation's; the revolution
// constant and the lambda factor are those of the log being read.
struct ViewScales {
    double KInj = 0.008;
    double InjOffset = 0.6;
    double KLambda = kDefaultKLambda;
    double KSupply = 0.01;
    double RpmConstant = kDefaultRpmConstant;
    bool PetrolControlEnabled = true;
    static ViewScales FromImage(const ParamImage& image);
};

// Engine speed of a revolution period: RpmConstant / period rounded to the
// nearest integer (halves to even); 0 for a period of 0.
int32_t RpmOfPeriod(double rpmConstant, double period);

// What became of a log line handed to the decoder.
enum class LineVerdict : uint8_t {
    Sample = 0,       // a live-data answer: `out` holds it
    NotData = 1,      // another kind of line, too short, or not hexadecimal
    BadChecksum = 2,  // a live-data answer whose checksum does not verify
};

// Selects and decodes one log line (without its line end). `out` is
// written only for LineVerdict::Sample.
LineVerdict DecodeLogLine(const char* line, int length, const ViewScales& scales, ViewSample& out);
inline LineVerdict DecodeLogLine(const QByteArray& line, const ViewScales& scales, ViewSample& out);

// Decodes the bytes of a whole live-data answer frame (at least 91 bytes).
void DecodeMem1Frame(const uint8_t* frame, const ViewScales& scales, ViewSample& out);

// A live sample: a copy of the live record the link's answer handling
// decoded with the image's factors. When the viewer's revolution constant
// differs from the image's, the speed is carried over to it.
ViewSample SampleFromLive(const Mem1Fields& live, const ParamImage& image, double viewRpmConstant);

// --- Channels ----------------------------------------------------------------

struct ViewChannel {
    const char*
        caption;  // the channel's fixed caption ("T Inj Gas"), also its key in OsciConfig.ini
    const char* nameText;  // English name and unit shown in its label
    double gain;           // default drawing units per value unit
    double pos;            // default zero line, drawing units from the top (+120)
    uint32_t colour;       // default colour, RGB integer (red 255, green 65280)
    int decimals;          // of the read-out
};
const ViewChannel& ChannelDef(int channel);

// The value drawn for channel `channel` of injector `inj` (0..7).
double DrawnValue(const ViewSample& s, int channel, int inj);
// The value shown in the cursor read-out (and exported).
double ReadoutValue(const ViewSample& s, int channel, int inj);
// The read-out text in the system's number format ("1,234"), with the
// channel's decimals.
QString ReadoutText(double value, int channel);

inline LineVerdict DecodeLogLine(const QByteArray& line, const ViewScales& scales,
                                 ViewSample& out) {
    return DecodeLogLine(line.constData(), static_cast<int>(line.size()), scales, out);
}

}  // namespace gascal
