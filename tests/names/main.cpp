// SPDX-License-Identifier: GPL-3.0-or-later
// Qt's D-Bus client wants an application object, as the programs that ask for names have.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
