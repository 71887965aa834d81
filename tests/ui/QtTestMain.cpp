// GoogleTest with a QApplication, on the offscreen platform unless the
// environment names another: widget tests need no display.

#include <gtest/gtest.h>

#include <QApplication>

#include "ui/SymbolIcons.hpp"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    sonvel::SymbolIcons::useDesktopTheme();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
