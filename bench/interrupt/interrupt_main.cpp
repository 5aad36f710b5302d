// bench-interrupt [--workflow NAME] [--stride N] [--case ID] [--list]:
// every interruption at every point of every workflow that writes to the
// car (see InterruptCase.h). Prints a line per violation, one line per
// workflow ("calibration cases=N violations=V") and the total as its last
// line; exits non-zero on any violation. --case replays one case alone.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "InterruptCase.h"

using namespace gascal::interrupt;

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: bench-interrupt [--workflow NAME] [--stride N] [--case ID] [--list] "
                 "[--progress]\n");
    return 2;
}

void PrintViolations(const CaseResult& r) {
    for (const QString& v : r.violations)
        std::printf("VIOLATION %s (%s, interrupted in %s): %s\n", qPrintable(r.id.Text()),
                    qPrintable(r.outcome), qPrintable(r.at), qPrintable(v));
    if (!r.injected) std::printf("note: %s: the point was not reached\n", qPrintable(r.id.Text()));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // The restore points the simulated sessions take go to a folder of the
    // run's own, never to the user's history.
    QTemporaryDir dataDir;
    if (!qEnvironmentVariableIsSet("GASCAL_DATA_DIR"))
        qputenv("GASCAL_DATA_DIR", dataDir.path().toLocal8Bit());
    QString only, caseText;
    int stride = 1;
    bool list = false, progress = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--workflow") == 0 && i + 1 < argc) {
            only = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(a, "--stride") == 0 && i + 1 < argc) {
            stride = std::atoi(argv[++i]);
            if (stride < 1) return Usage();
        } else if (std::strcmp(a, "--case") == 0 && i + 1 < argc) {
            caseText = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(a, "--list") == 0) {
            list = true;
        } else if (std::strcmp(a, "--progress") == 0) {
            progress = true;
        } else {
            return Usage();
        }
    }

    if (!caseText.isEmpty()) {
        const std::optional<CaseId> id = CaseId::Parse(caseText);
        const Workflow* w = id ? FindWorkflow(id->workflow) : nullptr;
        if (!w) {
            std::fprintf(stderr, "bench-interrupt: no such case: %s\n", qPrintable(caseText));
            return 2;
        }
        const CaseResult r = w->run(*id);
        std::printf("%s: %s, %s %s\n", qPrintable(id->Text()), qPrintable(r.outcome),
                    r.injected ? "interrupted in" : "the point was not reached", qPrintable(r.at));
        PrintViolations(r);
        std::printf("total cases=1 violations=%lld\n", static_cast<long long>(r.violations.size()));
        return r.violations.isEmpty() ? 0 : 1;
    }

    long long totalCases = 0, totalViolations = 0;
    for (const Workflow& w : Workflows()) {
        if (!only.isEmpty() && w.name != only) continue;
        const RunShape shape = w.shape();
        const std::vector<CaseId> cases = EnumerateCases(w.name, shape, stride);
        if (progress)
            std::fprintf(stderr, "%s: %d exchanges, %d steps, %zu cases\n", qPrintable(w.name),
                         shape.exchanges, shape.steps, cases.size());
        long long violations = 0;
        // A run that makes no exchange has not set up its car: no case of it
        // could say anything.
        if (shape.exchanges == 0 && shape.steps == 0 && !list) {
            std::printf(
                "VIOLATION %s: the uninterrupted run makes no exchange (its set-up "
                "failed)\n",
                qPrintable(w.name));
            ++violations;
        }
        for (size_t i = 0; i < cases.size(); ++i) {
            if (list) {
                std::printf("%s\n", qPrintable(cases[i].Text()));
                continue;
            }
            const CaseResult r = w.run(cases[i]);
            PrintViolations(r);
            violations += r.violations.size();
            if (progress && (i + 1) % 100 == 0)
                std::fprintf(stderr, "%s: %zu of %zu\n", qPrintable(w.name), i + 1, cases.size());
        }
        std::printf("%s cases=%zu violations=%lld\n", qPrintable(w.name), cases.size(), violations);
        std::fflush(stdout);
        totalCases += static_cast<long long>(cases.size());
        totalViolations += violations;
    }
    std::printf("total cases=%lld violations=%lld\n", totalCases, totalViolations);
    return totalViolations == 0 ? 0 : 1;
}
