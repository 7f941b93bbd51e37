// The window tests need a QApplication and the network loop inside it; they run on the offscreen
// platform unless told otherwise.
#include "app/LoopBridge.h"

#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // The network layer runs inside Qt's loop, as in the program.
    quenlo::app::LoopBridge bridge;
    return RUN_ALL_TESTS();
}
