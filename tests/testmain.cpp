// Test entry point: a Qt application object exists for every test (timers,
// serial ports and widgets need one); widget tests create a QApplication
// through GASCAL_WIDGET_TESTS.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <memory>

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
    return RUN_ALL_TESTS();
}
