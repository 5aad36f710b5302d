// The drop-down lists of the switchover and system settings (Configuration
// tab): their entries, read once from \LNG\ConfigScale.ini where the file has
// a section for them and built in otherwise, the choice between the two
// switchover-delay tables, and the rule that shows an ECU value in a list
// (the first entry whose value is at least the value).
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace gascal {

class ScaleConfig;

struct ListEntry {
    QString text;
    double value = 0;  // the number the change handler stores
    int code = 0;      // type lists: the type's code
};
using EntryList = std::vector<ListEntry>;

// Index of the first entry whose value is at least `value`; -1 when none is.
int FirstAtLeast(const EntryList& list, double value);
// Index of the entry with this code; -1 when none has it.
int IndexOfCode(const EntryList& list, int code);

// A number of a list line: digits with "," or "." as decimal separator.
std::optional<double> ListNumber(const QString& text);
// A number shown with the system's decimal separator, without needless zeros.
QString ListText(double value);

class SwitchLists {
  public:
    // Section names of the scale configuration file.
    static constexpr const char* kRpm = "[RPM DI COMM.]";
    static constexpr const char* kTemp = "[TEMP. DI COMM.]";
    static constexpr const char* kDelay1 = "[RITARDO TEMP. DI COMM.]";
    static constexpr const char* kDelay2 = "[RITARDO TEMP. DI COMM. TAB.2]";
    static constexpr const char* kDelayThreshold = "[SOGLIA RITARDO TEMP. DI COMM.]";
    static constexpr const char* kBar = "[PRESSIONI DI FINE GAS]";
    static constexpr const char* kDelayPress = "[RITARDO DI FINE GAS]";
    static constexpr const char* kForce = "[FORZA COMM.]";
    static constexpr const char* kSeq = "[SEQUENZA COMMUTAZIONE]";

    // RiempiCmbSwtch: reads the file once and fills every list. The lambda,
    // injector and level lists come from the scale configuration's types;
    // `lambdaNone` is the language's name of lambda entry 0, `emptyGas` the
    // two texts of the empty-gas list. Returns false (lists still filled with
    // what could be read) when a section line could not be converted; the
    // caller reports it.
    bool Fill(const QStringList& fileLines, const ScaleConfig& scale, const QString& lambdaNone,
              const QStringList& emptyGas, QString* error = nullptr);

    // RiempiCmbSwtchDelay: the delay table for a switchover temperature.
    const EntryList& DelayTableFor(double switchTemp) const;
    double DelayThreshold() const { return delayThreshold_; }

    EntryList rpm, temp, bar, delayPress, force, seq, cylinders, coils;
    EntryList delay1, delay2;
    EntryList lambda, injector, level, emptyGas, shoRpm;
    // Pairs of the acquisition speed window, same order as shoRpm.
    std::vector<std::pair<int, int>> shoRpmPairs;

  private:
    double delayThreshold_ = 40;
};

}  // namespace gascal
