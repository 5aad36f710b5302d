// Test entry point: a Qt application object exists for every test (timers,
// serial ports and widgets need one); widget tests create a QApplication
// through GASCAL_WIDGET_TESTS.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <memory>

#include "common/EventService.h"

#ifdef GASCAL_WIDGET_TESTS
#include <QApplication>
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
#ifdef GASCAL_WIDGET_TESTS
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    // Restore points go to a data folder of this run, never the user's.
    QTemporaryDir dataDir;
    qputenv("GASCAL_DATA_DIR", dataDir.path().toLocal8Bit());
    // A workflow step that waits fails the test that made it wait.
    gascal::SetStepWaitHandler([](const char* workflow, const char* wait) {
        ADD_FAILURE() << "a step of " << workflow << " waited (" << wait << ")";
    });
    return RUN_ALL_TESTS();
}
