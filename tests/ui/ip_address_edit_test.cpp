// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/ui/DialogFixture.h"

namespace talvik::test {
namespace {

class IpAddressEditTest : public ::testing::Test {
protected:
    void SetUp() override {
        edit.show();
        edit.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&edit));
    }

    int FocusedPart() const {
        for (int i = 0; i < IpAddressEdit::kParts; ++i) {
            if (edit.part(i)->hasFocus()) {
                return i;
            }
        }
        return -1;
    }

    IpAddressEdit edit;
};

TEST_F(IpAddressEditTest, TypingFillsThePartsAndMovesOnAsTheNativeFieldDoes) {
    struct Case {
        const char* before;
        int caret;  // in part 0; -1 selects the part
        const char* keys;
        const char* after;
        int focused;
    } cases[] = {
        {"", 0, "10.1.2.3", "10.1.2.3", 3},
        {"", 0, "192168", "192.168..", 2},  // a part takes three digits
        {"", 0, "3045", "30.45..", 2},      // 30 and 45 cannot take another
        {"", 0, "25", "25...", 0},          // 250..255 still possible
        {"", 0, "255", "255...", 1},
        {"", 0, "99", "99...", 1},             // 990 is no octet
        {"25...", 0, "9", "255...", 1},        // 925 is clamped
        {"123...", 3, "4", "123.4..", 1},      // digits beyond a full part go on
        {"255...", 3, ".a-7x", "255.7..", 1},  // only digits go in
        {"", 0, ".1.2.3.4.", "1.2.3.4", 3},    // a dot in an empty or the last part stays
        // The dot after a part that moved on by itself must not skip a part.
        {"192.168.3.129", -1, "203.0.113.1", "203.0.113.1", 3},
        {"192.168.3.129", -1, "10.200.1.2", "10.200.1.2", 3},
        {"", 0, "12.\b\b", "1...", 0},     // Backspace at a part's start moves back
        {"", 0, "12.\b\b\b\b", "...", 0},  // and stops at the first part
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.before) + " + " + c.keys);
        edit.clear();
        edit.setText(c.before);
        edit.part(0)->setFocus();
        c.caret < 0 ? edit.part(0)->selectAll() : edit.part(0)->setCursorPosition(c.caret);
        TypeKeys(QString::fromLatin1(c.keys));
        EXPECT_EQ(edit.text(), c.after);
        EXPECT_EQ(FocusedPart(), c.focused);
    }
}

TEST_F(IpAddressEditTest, PastingADottedAddressFillsTheWholeFieldAndAnythingElseOnlyItsDigits) {
    QSignalSpy spy(&edit, &IpAddressEdit::fieldChanged);
    for (auto [part, pasted, after] :
         {std::tuple{0, " 198.51.100.7 ", "198.51.100.7"}, std::tuple{1, "not an address", "..."},
          std::tuple{1, "42", ".42.."}, std::tuple{2, "１９８。５１．１００．７\n", "198.51.100.7"},
          std::tuple{1, "２。5", ".2.5."}}) {
        edit.clear();
        edit.part(part)->setFocus();
        QGuiApplication::clipboard()->setText(pasted);
        QTest::keySequence(edit.part(part), QKeySequence::Paste);
        EXPECT_EQ(edit.text(), after) << pasted;
    }
    EXPECT_GE(spy.count(), 2);
}

TEST_F(IpAddressEditTest, InputMethodCommitsAndDropsAndMiddleClicksGoInAsTypedOrPasted) {
    const auto commit = [&](const QString& text) {
        QInputMethodEvent event;
        event.setCommitString(text);
        QCoreApplication::sendEvent(QApplication::focusWidget(), &event);
    };
    const auto drop = [&](int part, const QString& text) {
        QMimeData data;
        data.setText(text);
        QDragEnterEvent enter(QPoint(2, 2), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(edit.part(part), &enter);
        QDropEvent dropped(QPointF(2, 2), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(edit.part(part), &dropped);
    };
    edit.clear();
    edit.part(0)->setFocus();
    for (const char* typed : {"１０", "。", "1", "．", "２５５３"}) {
        commit(QString::fromUtf8(typed));  // a pinyin input method in Chinese punctuation mode
    }
    EXPECT_EQ(edit.text(), "10.1.255.3");
    EXPECT_FALSE(edit.part(1)->testAttribute(Qt::WA_InputMethodEnabled));

    edit.clear();
    drop(2, "203.0.113.9");
    EXPECT_EQ(edit.text(), "203.0.113.9");
    drop(1, "7");
    EXPECT_EQ(edit.text(), "203.7.113.9");

    if (QGuiApplication::clipboard()->supportsSelection()) {
        edit.clear();
        QGuiApplication::clipboard()->setText("198.51.100.20", QClipboard::Selection);
        QTest::mouseClick(edit.part(1), Qt::MiddleButton);
        EXPECT_EQ(edit.text(), "198.51.100.20");
    }
}

}  // namespace
}  // namespace talvik::test
