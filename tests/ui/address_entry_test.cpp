// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/ui/DialogFixture.h"
#include "ui/IpAddressEdit.h"

namespace talvik::test {
namespace {

QStringList Sequence(const QString& prefix, int first, int last) {
    QStringList texts;
    for (int i = first; i <= last; ++i) {
        texts << prefix + QString::number(i);
    }
    return texts;
}

class AddressEntryTest : public DialogTest {
protected:
    // Adds with `kept` rows listed before; the question comes exactly when rows were kept.
    void Add(const QStringList& kept, int answer, bool limit) {
        dialog->OnDeleteAll();
        AddRows(kept);
        messages.shown.clear();
        messages.answers = {answer};
        dialog->OnAddAddress();
        std::vector<ShownMessage> expected;
        if (!kept.isEmpty()) {
            expected.push_back({"清除上次扫描地址？", "Talvik", kMbYesNo | kMbIconQuestion});
        }
        if (limit) {
            expected.push_back({"每次最多能扫描255台机器!", "Talvik", kMbIconInformation});
        }
        EXPECT_EQ(messages.shown, expected);
    }
};

TEST_F(AddressEntryTest, RangesInsertEachAddressAtItsLastOctetUpTo255Rows) {
    const QStringList ab = {"A", "B"};
    const QStringList kept250 = Sequence("host", 0, 249);
    struct Case {
        const char* start;
        const char* end;
        QStringList kept;
        int answer;
        QStringList expected;
        bool limit;
    } cases[] = {
        {"192.168.1.1", "192.168.1.254", {}, kIdNo, Sequence("192.168.1.", 1, 254), false},
        {"192.168.1.0", "192.168.1.255", {}, kIdNo, Sequence("192.168.1.", 0, 254), true},
        {"10.0.0.1", "10.0.0.255", {}, kIdNo, Sequence("10.0.0.", 1, 255), false},
        {"192.168.3.129", "192.168.3.129", {}, kIdNo, {"192.168.3.129"}, false},
        {"...", "...", {}, kIdNo, {"0.0.0.0"}, false},  // blank fields
        {"192.168.1.5", "192.168.2.5", {}, kIdNo, {}, false},
        {"192.168.1.9", "192.168.1.5", {}, kIdNo, {}, false},
        {"10.1.1.1", "11.1.1.1", ab, kIdYes, {}, false},  // emptied though nothing is added
        {"10.0.0.1", "10.0.0.3", ab, kIdNo,
         QStringList{"A"} + Sequence("10.0.0.", 1, 3) + QStringList{"B"}, false},
        {"10.0.0.100", "10.0.0.102", ab, kIdNo, ab + Sequence("10.0.0.", 100, 102), false},
        {"172.16.0.250", "172.16.0.255", kept250, kIdNo, kept250 + Sequence("172.16.0.", 250, 254),
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.start) + " - " + c.end);
        ASSERT_TRUE(dialog->startAddress()->setText(c.start));
        ASSERT_TRUE(dialog->endAddress()->setText(c.end));
        Add(c.kept, c.answer, c.limit);
        EXPECT_EQ(Rows(), c.expected);
    }
}

TEST_F(AddressEntryTest, HostModeAddsTheTextExactlyAtTheEnd) {
    dialog->modeUrlButton()->click();
    EXPECT_TRUE(dialog->urlEdit()->isEnabled() && dialog->urlEdit()->hasFocus());
    EXPECT_FALSE(dialog->startAddress()->isEnabled() || dialog->endAddress()->isEnabled());
    dialog->urlEdit()->setText("  printer.lan ");
    Add({"A", "B"}, kIdNo, false);
    EXPECT_EQ(Rows(), (QStringList{"A", "B", "  printer.lan "}));

    dialog->urlEdit()->clear();
    Add({"A"}, kIdNo, false);  // nothing to add, nothing said after the question
    EXPECT_EQ(Rows(), QStringList{"A"});

    // Line breaks pasted with a name never reach a row; one between two names becomes a blank.
    for (auto [pasted, row] :
         {std::pair{"beta.lab\n", "beta.lab"}, std::pair{"\r\n beta.lab \r\n", " beta.lab "},
          std::pair{"a\nb", "a b"}, std::pair{"\n", ""}}) {
        QGuiApplication::clipboard()->setText(pasted);
        dialog->urlEdit()->clear();
        QTest::keySequence(dialog->urlEdit(), QKeySequence::Paste);
        Add({}, kIdNo, false);
        EXPECT_EQ(Rows(), *row ? QStringList{row} : QStringList{}) << pasted;
    }

    Add(Sequence("h", 0, 254), kIdNo, true);  // a full list refuses even an empty field
    EXPECT_EQ(Rows().size(), 255);

    dialog->urlEdit()->setText("kept");
    dialog->modeIpButton()->click();
    EXPECT_FALSE(dialog->urlEdit()->isEnabled());
    EXPECT_EQ(dialog->urlEdit()->text(), "kept");
    EXPECT_TRUE(dialog->startAddress()->isEnabled() && dialog->endAddress()->isEnabled());
}

TEST_F(AddressEntryTest, EditingTheStartFillsTheEnd) {
    ASSERT_TRUE(dialog->endAddress()->setText("1.1.1.1"));  // typed first, then overwritten
    dialog->startAddress()->part(0)->setFocus();
    dialog->startAddress()->part(0)->selectAll();
    TypeKeys("10.1.2.3");
    EXPECT_EQ(dialog->endAddress()->text(), "10.1.2.254");

    // Blanking the last part is an edit; moving back between parts alone is not.
    ASSERT_TRUE(dialog->endAddress()->setText("9.9.9.9"));
    TypeKeys("\b");
    EXPECT_EQ(dialog->endAddress()->text(), "10.1.2.254");
    ASSERT_TRUE(dialog->endAddress()->setText("9.9.9.9"));
    TypeKeys("\b");
    EXPECT_EQ(dialog->startAddress()->part(2), QApplication::focusWidget());
    EXPECT_EQ(dialog->endAddress()->text(), "9.9.9.9");
}

TEST_F(AddressEntryTest, PassingThroughTheStartKeepsTheEndTyped) {
    IpAddressEdit* start = dialog->startAddress();
    IpAddressEdit* end = dialog->endAddress();
    start->part(3)->setFocus();
    start->part(3)->selectAll();
    TypeKeys("1");
    EXPECT_EQ(end->text(), "192.168.3.254");
    end->part(3)->setFocus();
    end->part(3)->selectAll();
    TypeKeys("20");
    // Tabbing and clicking through every part of the start, changing nothing.
    start->part(0)->setFocus(Qt::MouseFocusReason);
    QTest::mouseClick(start->part(2), Qt::LeftButton);
    for (int key = 0; key < 8 && start->isAncestorOf(QApplication::focusWidget()); ++key) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_FALSE(start->isAncestorOf(QApplication::focusWidget()));
    EXPECT_EQ(end->text(), "192.168.3.20");
    // Typing the same digit over it leaves the value as it was, too.
    start->part(3)->setFocus();
    start->part(3)->selectAll();
    TypeKeys("1");
    start->part(0)->setFocus();
    EXPECT_EQ(end->text(), "192.168.3.20");
    dialog->OnAddAddress();
    EXPECT_EQ(Rows(), Sequence("192.168.3.", 1, 20));
}

}  // namespace
}  // namespace talvik::test
