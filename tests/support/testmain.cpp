// Test entry point: a QApplication on the offscreen platform, so widget and
// socket tests have an event loop, and a settings store of their own so no
// test touches the user's.
#include "tempdir.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Where the programs under test (parlevod, the client) were built.
    if (!std::getenv("QP_BUILD_BIN"))
        setenv("QP_BUILD_BIN", QP_BUILD_BIN_DIR, 1);
    TempDir home;
    setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
    // The game log too, so no test writes the user's.
    TempDir state;
    setenv("XDG_STATE_HOME", state.path().c_str(), 1);
    QApplication app(argc, argv);
    QApplication::setApplicationName("Quillet Peer");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
