#include "viewer/model/ViewSample.h"

#include <cmath>
#include <cstring>

#include "data/core/ParamImage.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"

namespace gascal {

namespace {

// Byte offsets inside the live-data answer frame.
constexpr int kSignedAt = 5;
constexpr int kPetrolAt = 21;
constexpr int kThirdAt = 37;
constexpr int kGasAt = 53;
constexpr int kPeriodAt = 69;
constexpr int kGasPressureAt = 71;
constexpr int kVacuumAt = 73;
constexpr int kLambdaAt = 75;
constexpr int kKeyAt = 77;
constexpr int kValve1At = 78;
constexpr int kValve2At = 79;
constexpr int kLevelAt = 80;
constexpr int kReducerTempAt = 82;
constexpr int kGasTempAt = 84;
constexpr int kSupplyAt = 86;
constexpr int kLevelAuxAt = 88;
// The command code's characters in the hex text (characters 7 and 8).
constexpr int kCodeCharAt = 6;

const ViewChannel kChannels[kViewChannels] = {
    {"T Inj Gas", "T Inj Gas (ms)", 64, 1065, 65535, 2},      // yellow
    {"T Inj Benz", "T Inj Benz (ms)", 64, 1650, 4210943, 2},  // red
    {"Vacuum", "Vacuum (bar)", 0.5, 2820, 65280, 3},          // green
    {"Press", "Press (bar)", 0.5, 3405, 16711935, 3},         // magenta
    {"Lambda", "Lambda (V)", 512, 4575, 16752640, 3},         // sky blue
    {"Rpm", "Rpm", 0.25, 5745, 16777215, 0},                  // white
    // The two temperatures are named as the main window names their
    // sensors; the captions stay the keys of the settings file.
    {"Temp Inj",
     "Gas temp. (\xB0"
     "C)",
     2, 6330, 33023, 0},  // orange: GasTemp
    {"Temp Gas",
     "Reducer temp. (\xB0"
     "C)",
     8, 6630, 13148415, 0},  // pink: ReducerTemp
};

inline int HexNibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

inline uint16_t U16(const uint8_t* f, int at) {
    return static_cast<uint16_t>(f[at] | (f[at + 1] << 8));
}
inline int16_t S16(const uint8_t* f, int at) {
    return static_cast<int16_t>(U16(f, at));
}

// Block of eight words: the first word on the wire is element 7.
template <typename Word>
void EightWords(const uint8_t* f, int at, double factor, std::array<double, 8>& out, Word word) {
    for (int k = 0; k < 8; ++k) out[static_cast<size_t>(7 - k)] = word(f, at + 2 * k) * factor;
}

}  // namespace

ViewScales ViewScales::FromImage(const ParamImage& image) {
    ViewScales s;
    s.KInj = image.KInj;
    s.InjOffset = image.InjOffset;
    s.KLambda = image.KLambda;
    s.KSupply = image.KSupply;
    s.RpmConstant = image.RpmConstant;
    s.PetrolControlEnabled = image.PetrolControlEnabled;
    return s;
}

int32_t RpmOfPeriod(double rpmConstant, double period) {
    if (!(period > 0)) return 0;
    const double rpm = std::nearbyint(rpmConstant / period);
    if (!std::isfinite(rpm) || rpm > 2147483647.0 || rpm < -2147483647.0) return 0;
    return static_cast<int32_t>(rpm);
}

void DecodeMem1Frame(const uint8_t* f, const ViewScales& sc, ViewSample& s) {
    EightWords(f, kSignedAt, sc.KInj, s.SignedInjTimes, S16);
    EightWords(f, kPetrolAt, sc.KInj, s.PetrolInjTimes, U16);
    // The ECU leaves the injector's opening offset out of a petrol time.
    if (sc.PetrolControlEnabled)
        for (double& t : s.PetrolInjTimes)
            if (t > 0) t += sc.InjOffset;
    EightWords(f, kThirdAt, sc.KInj, s.ThirdInjBlock, U16);
    EightWords(f, kGasAt, sc.KInj, s.GasInjTimes, S16);
    s.RpmPeriod = U16(f, kPeriodAt);
    s.Rpm = RpmOfPeriod(sc.RpmConstant, s.RpmPeriod);
    s.GasPressureRaw = U16(f, kGasPressureAt);
    s.VacuumRaw = U16(f, kVacuumAt);
    s.LambdaVolts = U16(f, kLambdaAt) * sc.KLambda;
    s.KeyOn = f[kKeyAt];
    s.Valve1Open = f[kValve1At];
    s.Valve2Open = f[kValve2At];
    s.LevelRaw = U16(f, kLevelAt);
    s.ReducerTemp = S16(f, kReducerTempAt);
    s.GasTemp = S16(f, kGasTempAt);
    s.SupplyVolts = U16(f, kSupplyAt) * sc.KSupply;
    s.LevelAux = U16(f, kLevelAuxAt);
}

LineVerdict DecodeLogLine(const char* line, int length, const ViewScales& scales, ViewSample& out) {
    if (length < kMinDataLineChars) return LineVerdict::NotData;
    // The first three fields at single spaces: time (with the opening
    // quote), kind, hex text (with the closing quote).
    const char* end = line + length;
    const char* sp1 = static_cast<const char*>(std::memchr(line, ' ', static_cast<size_t>(length)));
    if (!sp1) return LineVerdict::NotData;
    const char* kind = sp1 + 1;
    const char* sp2 =
        static_cast<const char*>(std::memchr(kind, ' ', static_cast<size_t>(end - kind)));
    if (!sp2 || sp2 - kind != 1 || kind[0] != 'R') return LineVerdict::NotData;
    const char* hex = sp2 + 1;
    const char* hexEnd =
        static_cast<const char*>(std::memchr(hex, ' ', static_cast<size_t>(end - hex)));
    if (!hexEnd) hexEnd = end;
    int hexLen = static_cast<int>(hexEnd - hex);
    if (hexLen <= kMinDataHexChars) return LineVerdict::NotData;
    if (hex[kCodeCharAt] != '0' || hex[kCodeCharAt + 1] != 'C') return LineVerdict::NotData;
    if (hex[hexLen - 1] == '"') --hexLen;
    if (hexLen % 2 != 0) return LineVerdict::NotData;

    // The time: the first field without its opening quote, whole milliseconds.
    const char* t = line;
    if (*t == '"') ++t;
    if (t == sp1) return LineVerdict::NotData;
    double time = 0;
    for (; t < sp1; ++t) {
        if (*t < '0' || *t > '9') return LineVerdict::NotData;
        time = time * 10 + (*t - '0');
    }

    uint8_t frame[FRAME_MAX_BYTES];
    const int n = hexLen / 2;
    if (n > FRAME_MAX_BYTES) return LineVerdict::NotData;
    uint8_t check = 0;
    for (int i = 0; i < n; ++i) {
        const int hi = HexNibble(hex[2 * i]), lo = HexNibble(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return LineVerdict::NotData;
        frame[i] = static_cast<uint8_t>(hi * 16 + lo);
        check ^= frame[i];
    }
    // The exclusive-or of a whole valid frame is 0.
    if (check != 0) return LineVerdict::BadChecksum;
    if (n < kMem1AnswerBytes || frame[3] != CMD_READ_MEM1) return LineVerdict::NotData;
    DecodeMem1Frame(frame, scales, out);
    out.SampleTimeMs = time;
    return LineVerdict::Sample;
}

ViewSample SampleFromLive(const Mem1Fields& live, const ParamImage& image, double viewRpmConstant) {
    ViewSample s;
    s.SignedInjTimes = live.SignedInjTimes;
    s.PetrolInjTimes = live.PetrolInjTimes;
    for (size_t k = 0; k < 8; ++k) s.ThirdInjBlock[k] = live.SkippedRaw[k] * image.KInj;
    s.GasInjTimes = live.GasInjTimes;
    s.Rpm = live.Rpm;
    if (live.Rpm > 0 && image.RpmConstant > 0) {
        // The period the speed was computed from, so that a revolution
        // constant chosen in the viewer applies to live samples too.
        s.RpmPeriod = image.RpmConstant / live.Rpm;
        if (viewRpmConstant != image.RpmConstant) s.Rpm = RpmOfPeriod(viewRpmConstant, s.RpmPeriod);
    }
    s.GasPressureRaw = live.GasPressureRaw;
    s.VacuumRaw = live.VacuumRaw;
    s.LambdaVolts = live.LambdaVolts;
    s.KeyOn = live.KeyOn;
    s.Valve1Open = live.Valve1Open;
    s.Valve2Open = live.Valve2Open;
    s.LevelRaw = live.LevelRaw;
    s.ReducerTemp = live.ReducerTemp;
    s.GasTemp = live.GasTemp;
    s.SupplyVolts = live.SupplyVolts;
    s.LevelAux = live.LevelAux;
    s.SampleTimeMs = live.SampleTimeMs;
    return s;
}

// --- Channels ----------------------------------------------------------------

const ViewChannel& ChannelDef(int channel) {
    if (channel < 0 || channel >= kViewChannels) channel = 0;
    return kChannels[channel];
}

namespace {
size_t Inj(int inj) {
    return static_cast<size_t>(inj < 0 || inj >= kViewInjectors ? 0 : inj);
}
}  // namespace

double DrawnValue(const ViewSample& s, int channel, int inj) {
    const size_t i = Inj(inj);
    switch (channel) {
        case 0:
            // The gas time is the petrol time plus the correction while the
            // injector runs on gas; on petrol the trace lies on its zero line.
            return s.SignedInjTimes[i] > 0 ? s.PetrolInjTimes[i] + s.GasInjTimes[i] : 0;
        case 1:
            return s.PetrolInjTimes[i];
        case 2:
            return s.VacuumRaw;
        case 3:
            return s.GasPressureRaw;
        case 4:
            return s.LambdaVolts;
        case 5:
            return s.Rpm > kRpmDrawLimit ? 0 : s.Rpm;
        case 6:
            return s.GasTemp;
        case 7:
            return s.ReducerTemp;
        default:
            return 0;
    }
}

double ReadoutValue(const ViewSample& s, int channel, int inj) {
    switch (channel) {
        case 2:
            return s.VacuumRaw / 1000;
        case 3:
            return s.GasPressureRaw / 1000;
        case 5:
            return std::nearbyint(DrawnValue(s, channel, inj));
        default:
            return DrawnValue(s, channel, inj);
    }
}

QString ReadoutText(double value, int channel) {
    const int decimals = ChannelDef(channel).decimals;
    // A value that rounds to zero is written without a sign ("0,00", not "-0,00").
    if (std::fabs(value) < 0.5 * std::pow(10.0, -decimals)) value = 0;
    QString t = QString::number(value, 'f', decimals);
    t.replace(QLatin1Char('.'), QLatin1Char(','));
    return t;
}

}  // namespace gascal
