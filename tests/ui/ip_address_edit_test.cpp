#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include "tests/ui/QtPrinting.h"
#include "ui/IpAddressEdit.h"

namespace talvik {
namespace {

class IpAddressEditTest : public ::testing::Test {
protected:
    void SetUp() override {
        edit.show();
        edit.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&edit));
        edit.part(0)->setFocus();
    }

    QLineEdit* focusedPart() const {
        for (int i = 0; i < IpAddressEdit::kParts; ++i) {
            if (edit.part(i)->hasFocus()) {
                return edit.part(i);
            }
        }
        return nullptr;
    }

    int focusedIndex() const {
        for (int i = 0; i < IpAddressEdit::kParts; ++i) {
            if (edit.part(i)->hasFocus()) {
                return i;
            }
        }
        return -1;
    }

    void type(const QString& keys) {
        for (const QChar c : keys) {
            QTest::keyClicks(focusedPart(), QString(c));
        }
    }

    IpAddressEdit edit;
};

TEST_F(IpAddressEditTest, DotsMoveOnAndTheAddressReadsBack) {
    type("10.1.2.3");
    EXPECT_EQ(edit.address(), (Octets{10, 1, 2, 3}));
    EXPECT_EQ(edit.text(), "10.1.2.3");
    EXPECT_EQ(focusedIndex(), 3);
}

TEST_F(IpAddressEditTest, AFullPartMovesOn) {
    type("192168");  // three digits each
    EXPECT_EQ(edit.address(), (Octets{192, 168, 0, 0}));
    EXPECT_EQ(focusedIndex(), 2);

    edit.clear();
    edit.part(0)->setFocus();
    type("3045");  // 30 and 45 cannot take another digit
    EXPECT_EQ(edit.address(), (Octets{30, 45, 0, 0}));
    EXPECT_EQ(focusedIndex(), 2);

    edit.clear();
    edit.part(0)->setFocus();
    type("25");  // 250..255 still possible
    EXPECT_EQ(focusedIndex(), 0);
    type("5");
    EXPECT_EQ(edit.address()[0], 255);
    EXPECT_EQ(focusedIndex(), 1);
}

TEST_F(IpAddressEditTest, TypingOverAnAddressWithDotsAfterFullParts) {
    edit.setText("192.168.3.129");
    edit.part(0)->selectAll();
    type("203.0.113.1");  // "203" moves on by itself; the dot after it must not skip a part
    EXPECT_EQ(edit.text(), "203.0.113.1");
    edit.part(0)->setFocus();
    edit.part(0)->selectAll();
    type("10.200.1.2");
    EXPECT_EQ(edit.text(), "10.200.1.2");
}

TEST_F(IpAddressEditTest, DigitsBeyondAFullPartGoOnIntoTheNext) {
    edit.part(0)->setText("123");
    edit.part(0)->setCursorPosition(3);
    type("4");
    EXPECT_EQ(edit.text(), "123.4..");
    EXPECT_EQ(focusedIndex(), 1);
}

TEST_F(IpAddressEditTest, ValuesAbove255AreClampedAndOnlyDigitsGoIn) {
    type("99");  // 990 is no octet, so the second digit already ends the part
    EXPECT_EQ(focusedIndex(), 1);
    edit.part(0)->setFocus();
    edit.part(0)->setText("25");
    edit.part(0)->setCursorPosition(0);
    type("9");  // 925
    EXPECT_EQ(edit.part(0)->text(), "255");
    edit.part(1)->setFocus();
    type("a-7x");
    EXPECT_EQ(edit.part(1)->text(), "7");
    EXPECT_EQ(edit.address(), (Octets{255, 7, 0, 0}));
}

TEST_F(IpAddressEditTest, DotInAnEmptyPartStaysAndLastPartKeepsTheCaret) {
    type(".");
    EXPECT_EQ(focusedIndex(), 0);
    type("1.2.3.4.");
    EXPECT_EQ(focusedIndex(), 3);
    EXPECT_EQ(edit.text(), "1.2.3.4");
}

TEST_F(IpAddressEditTest, BackspaceAtThePartStartMovesBack) {
    type("12.");
    ASSERT_EQ(focusedIndex(), 1);
    QTest::keyClick(focusedPart(), Qt::Key_Backspace);
    EXPECT_EQ(focusedIndex(), 0);
    EXPECT_EQ(edit.part(0)->cursorPosition(), 2);
    QTest::keyClick(focusedPart(), Qt::Key_Backspace);
    EXPECT_EQ(edit.part(0)->text(), "1");
    // At the first part there is nowhere to go.
    QTest::keyClick(focusedPart(), Qt::Key_Backspace);
    QTest::keyClick(focusedPart(), Qt::Key_Backspace);
    EXPECT_EQ(focusedIndex(), 0);
    EXPECT_TRUE(edit.isBlank());
}

TEST_F(IpAddressEditTest, DottedTextSetsTheAddressOrIsRefused) {
    EXPECT_TRUE(edit.setText("192.168.3.129"));
    EXPECT_EQ(edit.address(), (Octets{192, 168, 3, 129}));
    EXPECT_TRUE(edit.setText("300.1.1.1"));
    EXPECT_EQ(edit.address(), (Octets{255, 1, 1, 1}));
    for (const char* bad : {"1.2.3", "1.2.3.4.5", "a.b.c.d", "1.2.3.1234", "-1.2.3.4", ""}) {
        EXPECT_FALSE(edit.setText(bad)) << bad;
        EXPECT_EQ(edit.address(), (Octets{255, 1, 1, 1})) << bad;
    }
    edit.setText("10..7.");  // blank parts read as 0
    EXPECT_EQ(edit.address(), (Octets{10, 0, 7, 0}));
}

TEST_F(IpAddressEditTest, PastingADottedAddressFillsTheWholeField) {
    QSignalSpy spy(&edit, &IpAddressEdit::fieldChanged);
    QGuiApplication::clipboard()->setText(" 198.51.100.7 ");
    QTest::keySequence(focusedPart(), QKeySequence::Paste);
    EXPECT_EQ(edit.address(), (Octets{198, 51, 100, 7}));
    EXPECT_EQ(focusedIndex(), 3);
    EXPECT_GE(spy.count(), 1);

    // Anything else is an ordinary paste into the part, where only digits fit.
    edit.clear();
    edit.part(1)->setFocus();
    QGuiApplication::clipboard()->setText("not an address");
    QTest::keySequence(focusedPart(), QKeySequence::Paste);
    EXPECT_TRUE(edit.isBlank());
    QGuiApplication::clipboard()->setText("42");
    QTest::keySequence(focusedPart(), QKeySequence::Paste);
    EXPECT_EQ(edit.text(), ".42..");
}

TEST_F(IpAddressEditTest, EditsAndMovesRaiseFieldChangedButSettersDoNot) {
    QSignalSpy spy(&edit, &IpAddressEdit::fieldChanged);
    edit.setText("1.2.3.4");
    edit.setAddress({5, 6, 7, 8});
    EXPECT_EQ(spy.count(), 0);

    edit.clear();
    edit.part(0)->setFocus();
    type("7");
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toInt(), 0);
    EXPECT_EQ(spy.at(0).at(1).toInt(), 7);

    type(".");  // leaving part 0 for part 1
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.at(1).at(0).toInt(), 0);
    EXPECT_EQ(spy.at(1).at(1).toInt(), 7);

    type("9");
    ASSERT_EQ(spy.count(), 3);
    EXPECT_EQ(spy.at(2).at(0).toInt(), 1);
    EXPECT_EQ(spy.at(2).at(1).toInt(), 9);

    QTest::keyClick(focusedPart(), Qt::Key_Backspace);  // an edit that blanks the part
    ASSERT_EQ(spy.count(), 4);
    EXPECT_EQ(spy.at(3).at(1).toInt(), 0);
}

}  // namespace
}  // namespace talvik
