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

namespace {
// Every test starts with an empty data folder of its own.
class DataFolderPerTest : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        dir_ = std::make_unique<QTemporaryDir>();
        qputenv("GASCAL_DATA_DIR", dir_->path().toLocal8Bit());
    }
    void OnTestEnd(const ::testing::TestInfo&) override { dir_.reset(); }
    std::unique_ptr<QTemporaryDir> dir_;
};
}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
#ifdef GASCAL_WIDGET_TESTS
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    // Restore points go to a data folder of each test, never the user's.
    ::testing::UnitTest::GetInstance()->listeners().Append(new DataFolderPerTest);
    // A workflow step that waits fails the test that made it wait.
    gascal::SetStepWaitHandler([](const char* workflow, const char* wait) {
        ADD_FAILURE() << "a step of " << workflow << " waited (" << wait << ")";
    });
    return RUN_ALL_TESTS();
}
