#include "FuzzSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <memory>

#include "common/Helpers.h"
#include "common/InstallTree.h"

namespace gascal::fuzz {

BoxResult QuietPrompts::MessageBox(const QString&, const QString&, BoxIcon, BoxButtons buttons) {
    switch (buttons) {
        case BoxButtons::Ok:
            return BoxResult::Ok;
        case BoxButtons::OkCancel:
        case BoxButtons::RetryCancel:
            return BoxResult::Cancel;
        case BoxButtons::YesNo:
        case BoxButtons::YesNoCancel:
            return BoxResult::No;
    }
    return BoxResult::Ok;
}

namespace {

struct Scratch {
    std::unique_ptr<QTemporaryDir> dir;
    QuietPrompts prompts;
    QString path;
    Scratch() {
        // A memory-backed folder where there is one: the readers open a
        // file for every input.
        const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm")
                                                                       : QDir::tempPath();
        dir = std::make_unique<QTemporaryDir>(base + QStringLiteral("/gascal-fuzz-XXXXXX"));
        path = dir->path();
        // The shipped data files, copied as a user's first start copies them.
        SyncUserTree(QStringLiteral(GASCAL_SOURCE_DIR "/installdata"), path, nullptr, nullptr);
        QDir().mkpath(path + QStringLiteral("/SAMPLES"));
        SetInstallDir(path);
        SetPrompts(&prompts);
    }
};

}  // namespace

const QString& Setup() {
    static Scratch scratch;
    return scratch.path;
}

QString WriteInstallFile(const QString& relative, const uint8_t* data, size_t size) {
    const QString path = Setup() + QLatin1Char('/') + relative;
    std::FILE* f = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (f) {
        if (size > 0) std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    return path;
}

QString WriteInput(const QString& name, const uint8_t* data, size_t size) {
    return WriteInstallFile(name, data, size);
}

Selected Select(const uint8_t* data, size_t size, int choices) {
    Selected s;
    if (size == 0 || choices <= 0) return s;
    s.choice = data[0] % choices;
    s.data = data + 1;
    s.size = size - 1;
    return s;
}

}  // namespace gascal::fuzz
