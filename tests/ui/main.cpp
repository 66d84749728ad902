// SPDX-License-Identifier: GPL-3.0-or-later
// The window tests share one application object, as the program does; they are headless unless a
// platform is asked for, also when test discovery runs them to list the cases.
#include <gtest/gtest.h>

#include <QApplication>

#include "ui/DialogUnits.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setFont(talvik::DialogFont());
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
