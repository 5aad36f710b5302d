// bench-soak [--exchanges N] [--seed S] [--progress]: the fault soak (see
// SoakRun.h). Prints its figures and exits non-zero when a check failed.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SoakRun.h"

namespace {

bool ParseCount(const char* text, uint64_t& out) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0') return false;
    out = v;
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: bench-soak [--exchanges N] [--seed S] [--progress]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // The restore points the simulated sessions take go to a folder of the
    // run's own, never to the user's history.
    QTemporaryDir dataDir;
    if (!qEnvironmentVariableIsSet("GASCAL_DATA_DIR"))
        qputenv("GASCAL_DATA_DIR", dataDir.path().toLocal8Bit());
    gascal::soak::SoakOptions options;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--progress") == 0) {
            options.progress = true;
        } else if (std::strcmp(a, "--exchanges") == 0 && i + 1 < argc) {
            if (!ParseCount(argv[++i], options.exchanges) || options.exchanges == 0) return Usage();
        } else if (std::strcmp(a, "--seed") == 0 && i + 1 < argc) {
            if (!ParseCount(argv[++i], options.seed)) return Usage();
        } else {
            return Usage();
        }
    }
    std::printf("fault soak: %llu exchanges, seed %llu\n",
                static_cast<unsigned long long>(options.exchanges),
                static_cast<unsigned long long>(options.seed));
    const gascal::soak::SoakFigures f = gascal::soak::RunSoak(options);
    gascal::soak::PrintFigures(stdout, f);
    return f.failures.isEmpty() ? 0 : 1;
}
