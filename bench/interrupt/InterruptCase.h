// Every interruption at every point of a workflow that writes to the car.
//
// A case is one workflow run on the in-process simulated ECU in virtual time,
// with one interruption injected at one point of the run, and then let to
// finish (completed, aborted or failed). The points are the exchanges of the
// run, counted from the workflow's start (the request has reached the ECU and
// its answer is not back yet; the answer is back, which is also the moment
// before the next request) and the boundaries of the workflow's steps. A
// case is named by its ID, "calibration/a17/cable-15s", and replays alone
// and identically from it.
//
// After every case the invariants are checked: the configuration is either
// as it was or as intended (or the tool names the missing part), what the
// tool says matches the ECU, the car is back in the mode and on the fuel it
// was found in, the flash was not erased, the case ended within its bound.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

namespace gascal::interrupt {

enum class Interruption : int {
    Esc = 0,     // the user's Esc, Cancel, the window's close, SIGINT
    KeyOff,      // ignition key off
    EngineStop,  // engine stopped
    Cable1s,     // USB cable pulled for 1 s
    Cable15s,    // ... for 15 s
    CableGone,   // ... for good
    EcuReset,    // RAM lost, flash kept
    AnswerLost,  // one answer never comes back (the request was carried out)
    Status254,   // one answer with status 254 (not carried out)
    Status255,   // one answer with status 255 (not carried out)
    Corrupt,     // one answer with a byte changed
    Count
};
// The interruptions that disturb one answer, not the line or the car.
bool IsAnswerFault(Interruption i);
const char* Name(Interruption i);
std::vector<Interruption> AllInterruptions();

// Where in the run the interruption comes.
enum class PointKind : int {
    Request,  // 'r': exchange n's request has reached the ECU, its answer is not back
    Answer,   // 'a': exchange n's answer is back (the moment before request n + 1)
    Step,     // 's': the n-th change of the workflow's step
};

struct CaseId {
    QString workflow;
    PointKind kind = PointKind::Request;
    int index = 1;  // exchanges and steps count from 1
    Interruption what = Interruption::Esc;

    QString Text() const;  // "calibration/r12/status-254"
    static std::optional<CaseId> Parse(const QString& text);
    bool operator==(const CaseId&) const = default;
};

// What a run without interruption gives: the points there are.
struct RunShape {
    int exchanges = 0;
    int steps = 0;
};

struct CaseResult {
    CaseId id;
    bool injected = false;   // the point was reached and the interruption made
    QString outcome;         // "completed", "aborted", "failed", in the workflow's words
    QString at;              // the workflow's state when the interruption came
    QStringList violations;  // "invariant N: what"
};

// What one run of a workflow gives: the shape of the run (uninterrupted) and
// the case's result (interrupted).
struct CaseRun {
    RunShape shape;
    CaseResult result;
};

// One workflow: its name, its run without interruption, one case.
struct Workflow {
    QString name;
    std::function<RunShape()> shape;
    std::function<CaseResult(const CaseId&)> run;
};

const std::vector<Workflow>& Workflows();
const Workflow* FindWorkflow(const QString& name);

// The cases of a workflow for its shape: every exchange (request and answer
// points) and every step boundary with every interruption; the answer faults
// once per exchange, at its request. `stride` > 1 keeps every stride-th
// exchange and step (the first and the last always).
std::vector<CaseId> EnumerateCases(const QString& workflow, const RunShape& shape, int stride = 1);

}  // namespace gascal::interrupt
