// The scale configuration of the installation, \LNG\ConfigScale.ini.
//
// The installer's file tells the tool how the ECU scales its raw numbers
// (injection time, PWM, lambda, timer and level units, the petrol time
// offset), which gas level sensors, injectors and lambda sensors exist, the
// engine-speed pairs of the mapping window, the test-data values that mark 6
// and 8 cylinder engines, the firmware from which the petrol control feature
// is on, the two expert-page passwords, the pre-injection item lists of the
// expert page and the automatic calibration's parameters. The tool only
// reads it; plain or scrambled files are both accepted.
//
// A key is a line equal to the key text; its value is the next line.
// Every value that is missing or not a number keeps its default.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <optional>
#include <utility>
#include <vector>

namespace gascal {

// Defaults of the scale reader.
inline constexpr double kDefaultInjUs = 8;          // [K_Time_Inj_us]
inline constexpr double kDefaultPwmUs = 1000;       // [K_Time_Pwm_us]
inline constexpr double kDefaultLambdaMv = 1;       // [K_Lambda_mV]
inline constexpr double kDefaultTimerUs = 25;       // [K_Timer_Gen_us]
inline constexpr double kDefaultLevelUv = 4883;     // [K_VLevel_Sens_uV]
inline constexpr double kDefaultInjOffsetUs = 600;  // [SommaTempoInj_usec]
inline constexpr double kSupplyVoltsPerCount = 33.6 / 1024;
inline constexpr int kDefaultStepBadBitUs = 96;
inline constexpr int kDefaultMappingLow = 2200;
inline constexpr int kDefaultMappingHigh = 2700;
inline constexpr int kControlFirmwareDigits = 12;
inline constexpr int kCalibrationParamCount = 33;

// A gas level sensor type, section [GasLevel_NN].
struct GasLevelTypeEntry {
    QString Name;
    int Code = 0;
    QString Caption;
    std::array<int, 6> Thresholds{};
    double Value = 0;   // full-scale value of the level page's display
    int LevelMode = 0;  // 0: thresholds rise with the level; else reversed
};

// An injector type, section [InjType_NN]; Code is NN.
struct InjectorTypeEntry {
    QString Name;
    int Code = 0;
    double OpenTime = 0;  // already multiplied by KPwm
    double PwmTime2 = 0;
    double PwmTime1 = 0;
    double CalValue1 = 0;  // calibration limit T1 (ms)
    double CalValue2 = 0;  // calibration limit T2 (ms)
    QString ModelPoints;   // shape rules applied at the end of a calibration
};

// A lambda sensor type, section [Lambda_NN].
struct LambdaTypeEntry {
    QString Name;
    int Code = 0;
    double Factor = 0.001;           // volts per raw count
    std::array<double, 11> Scale{};  // volts of the 11 marks of the lambda bar
};

// One automatic-calibration parameter: its value after division by its
// factor, and whether it has one at all (some have no default).
struct CalibrationParam {
    double value = 0;
    bool known = false;
};

class ScaleConfig {
  public:
    ScaleConfig();

    // Sets every default, then reads the keys, the expert lists and the
    // calibration parameters from the file when it exists. False when there
    // is no file (the defaults stand).
    bool Load(const QString& path);
    void SetDefaults();

    // The three list readers. Conversion failures show the shared error
    // report and reading goes on. `lambdaEntry0Name` is the current
    // language's name for lambda entry 0, used when the file redefines it.
    void IniziaLevelGasType(const QString& path);
    void IniziaTipoInj(const QString& path);
    void IniziaTipoLambda(const QString& path, const QString& lambdaEntry0Name = QString());

    // --- Scale factors (engineering units per raw count) ---------------------
    double KInj = kDefaultInjUs / 1000;
    double KPwm = kDefaultPwmUs / 1000;
    double KLambda = kDefaultLambdaMv / 1000;
    double KTimer = kDefaultTimerUs / 1000;
    double KLevel = kDefaultLevelUv / 1000;
    double KSupply = kSupplyVoltsPerCount;
    double InjOffset = kDefaultInjOffsetUs / 1000;

    // --- Other keys ----------------------------------------------------------
    QString ControlPetrolFirmware;  // 12 digits VVVVDDMMYYYY, or empty
    QString SL_4Cil, SL_6Cil, SL_8Cil;
    std::vector<std::pair<int, int>> MappingThresholds;
    bool CkbeV02Visible = false;
    int StepBadBit = kDefaultStepBadBitUs;
    QString PassWord00, PassWord01;
    QStringList PreInjTempItems;          // [CmbTemperUnderPreInj]
    std::vector<double> PreInjTimeItems;  // [CmbValuePreInj], already divided by 10
    QStringList PreInjPeriodItems;        // [CmbDefTimeSovra]

    // Calibration parameters 1..33 (index 0 unused).
    std::array<CalibrationParam, kCalibrationParamCount + 1> CalParams{};
    double CalParam(int n) const;  // 0 for an unknown or unset parameter

    // --- Type lists ----------------------------------------------------------
    std::vector<GasLevelTypeEntry> GasLevelType;
    std::vector<InjectorTypeEntry> InjectorType;
    std::vector<LambdaTypeEntry> LambdaType;

    // List index of the first entry with this code, or -1.
    int LevelIndexByCode(int code) const;
    int LambdaIndexByCode(int code) const;
    int InjectorIndexByCode(int code) const;
    // Entry at a list index; nullptr when out of range.
    const GasLevelTypeEntry* LevelAt(int index) const;
    const InjectorTypeEntry* InjectorAt(int index) const;
    const LambdaTypeEntry* LambdaAt(int index) const;

    // Value line of a key anywhere in the file (used by the switchover lists,
    // which read their own sections); nullopt when the key or its value line
    // is missing. Reads the file each call, plain or scrambled.
    static std::optional<QString> ReadKeyValue(const QString& path, const QString& key);

    // The built-in lambda entry 0.
    static LambdaTypeEntry DefaultLambdaEntry0();

  private:
    void ReadCalibrationParams(const QStringList& lines);
};

// Lines of a configuration file, plain or scrambled; false when it cannot be read.
bool ReadConfigLines(const QString& path, QStringList& lines);

// True when the text is a number as the tool writes numbers: an optional
// leading "-", digits, at most one "," with digits around it.
bool IsPlainNumber(const QString& text);

// The scale of a lambda bar from its "low|high" line in millivolts;
// nullopt when the line is not two numbers.
std::optional<std::array<double, 11>> LambdaScaleFromLine(const QString& line);

// Default pre-injection item lists of the expert page.
QStringList DefaultPreInjTempItems();
std::vector<double> DefaultPreInjTimeItems();
QStringList DefaultPreInjPeriodItems();

}  // namespace gascal
