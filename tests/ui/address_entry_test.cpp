#include <QLineEdit>
#include <QRadioButton>

#include "scan/WinTypes.h"
#include "tests/ui/DialogFixture.h"
#include "ui/IpAddressEdit.h"

namespace talvik::test {
namespace {

class AddressEntryTest : public DialogTest {
protected:
    void Range(const char* start, const char* end) {
        ASSERT_TRUE(dialog->startAddress()->setText(start));
        ASSERT_TRUE(dialog->endAddress()->setText(end));
    }

    void HostMode(const QString& text) {
        dialog->modeUrlButton()->click();
        dialog->urlEdit()->setText(text);
    }

    static QStringList Addresses(const char* network, int first, int last) {
        QStringList texts;
        for (int i = first; i <= last; ++i) {
            texts << QStringLiteral("%1.%2").arg(network).arg(i);
        }
        return texts;
    }

    int LimitMessages() const {
        int count = 0;
        for (const ShownMessage& message : messages.shown) {
            if (message.text == "每次最多能扫描255台机器!") {
                EXPECT_EQ(message.caption, "Talvik");
                EXPECT_EQ(message.type, kMbIconInformation);
                ++count;
            }
        }
        return count;
    }
};

TEST_F(AddressEntryTest, RangesListInAscendingOrderUpTo255Rows) {
    Range("192.168.1.1", "192.168.1.254");
    dialog->OnAddAddress();
    EXPECT_EQ(Rows(), Addresses("192.168.1", 1, 254));
    EXPECT_TRUE(messages.shown.empty());

    dialog->OnDeleteAll();
    Range("192.168.1.0", "192.168.1.255");
    dialog->OnAddAddress();
    EXPECT_EQ(Rows(), Addresses("192.168.1", 0, 254));  // .255 is left over
    EXPECT_EQ(LimitMessages(), 1);

    dialog->OnDeleteAll();
    messages.shown.clear();
    Range("10.0.0.1", "10.0.0.255");
    dialog->OnAddAddress();
    EXPECT_EQ(Rows().size(), 255);
    EXPECT_EQ(Rows().last(), "10.0.0.255");
    EXPECT_TRUE(messages.shown.empty());  // exactly full is no overflow
}

TEST_F(AddressEntryTest, InvalidRangesAddNothingSilently) {
    for (auto [start, end] :
         {std::pair{"192.168.1.5", "192.168.2.5"}, std::pair{"192.168.1.9", "192.168.1.5"},
          std::pair{"10.1.1.1", "11.1.1.1"}}) {
        Range(start, end);
        dialog->OnAddAddress();
        EXPECT_TRUE(Rows().isEmpty()) << start << " " << end;
    }
    EXPECT_TRUE(messages.shown.empty());

    // The question still comes first, so Yes empties the list even though nothing is added.
    AddRows({"a", "b"});
    messages.Answer(kIdYes);
    dialog->OnAddAddress();
    EXPECT_TRUE(Rows().isEmpty());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "清除上次扫描地址？");
    EXPECT_EQ(messages.shown[0].caption, "Talvik");
    EXPECT_EQ(messages.shown[0].type, kMbYesNo | kMbIconQuestion);
}

TEST_F(AddressEntryTest, StartUpAndBlankFieldsGiveOneRow) {
    dialog->OnAddAddress();
    EXPECT_EQ(Rows(), QStringList{"192.168.3.129"});

    dialog->OnDeleteAll();
    dialog->startAddress()->clear();
    dialog->endAddress()->clear();
    dialog->OnAddAddress();
    EXPECT_EQ(Rows(), QStringList{"0.0.0.0"});
}

TEST_F(AddressEntryTest, KeptRowsTakeNewAddressesAtTheirOctetIndex) {
    AddRows({"A", "B"});
    messages.Answer(kIdNo);
    Range("10.0.0.1", "10.0.0.3");
    dialog->OnAddAddress();
    EXPECT_EQ(Rows(), (QStringList{"A", "10.0.0.1", "10.0.0.2", "10.0.0.3", "B"}));

    dialog->OnDeleteAll();
    AddRows({"A", "B"});
    messages.Answer(kIdNo);
    Range("10.0.0.100", "10.0.0.102");
    dialog->OnAddAddress();
    EXPECT_EQ(Rows(), (QStringList{"A", "B", "10.0.0.100", "10.0.0.101", "10.0.0.102"}));
}

TEST_F(AddressEntryTest, KeptRowsCountTowardsTheLimit) {
    QStringList kept;
    for (int i = 0; i < 250; ++i) {
        kept << QStringLiteral("host%1").arg(i);
    }
    AddRows(kept);
    messages.Answer(kIdNo);
    Range("172.16.0.250", "172.16.0.255");  // six addresses, room for five
    dialog->OnAddAddress();
    EXPECT_EQ(Rows().size(), 255);
    EXPECT_EQ(Rows().last(), "172.16.0.254");
    EXPECT_EQ(LimitMessages(), 1);
}

TEST_F(AddressEntryTest, HostModeAddsTheTextExactlyAtTheEnd) {
    HostMode("  printer.lan ");
    dialog->OnAddAddress();
    EXPECT_EQ(Rows(), QStringList{"  printer.lan "});

    messages.Answer(kIdNo);
    dialog->urlEdit()->setText("<b>not markup</b>");
    dialog->OnAddAddress();
    EXPECT_EQ(Rows(), (QStringList{"  printer.lan ", "<b>not markup</b>"}));

    // An empty field adds nothing and says nothing, after the question.
    messages.shown.clear();
    messages.Answer(kIdNo);
    dialog->urlEdit()->clear();
    dialog->OnAddAddress();
    EXPECT_EQ(Rows().size(), 2);
    EXPECT_EQ(messages.shown.size(), 1u);
}

TEST_F(AddressEntryTest, AFullListRefusesHostsEvenWithAnEmptyField) {
    QStringList full;
    for (int i = 0; i < 255; ++i) {
        full << QStringLiteral("h%1").arg(i);
    }
    AddRows(full);
    HostMode("");
    messages.Answer(kIdNo);
    dialog->OnAddAddress();
    EXPECT_EQ(Rows().size(), 255);
    EXPECT_EQ(LimitMessages(), 1);
}

TEST_F(AddressEntryTest, EditingTheStartFillsTheEnd) {
    ASSERT_TRUE(dialog->endAddress()->setText("1.1.1.1"));  // typed first, then overwritten
    QLineEdit* part = dialog->startAddress()->part(0);
    part->setFocus();
    part->selectAll();
    TypeKeys("10.1.2.3");
    EXPECT_EQ(dialog->startAddress()->text(), "10.1.2.3");
    EXPECT_EQ(dialog->endAddress()->text(), "10.1.2.254");

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);  // blanks the last part
    EXPECT_EQ(dialog->endAddress()->text(), "10.1.2.254");
    // A move between parts alone also counts.
    ASSERT_TRUE(dialog->endAddress()->setText("9.9.9.9"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
    EXPECT_EQ(dialog->startAddress()->part(2), QApplication::focusWidget());
    EXPECT_EQ(dialog->endAddress()->text(), "10.1.2.254");
}

TEST_F(AddressEntryTest, ModeButtonsSwitchTheFields) {
    dialog->modeUrlButton()->click();
    EXPECT_TRUE(dialog->urlEdit()->isEnabled());
    EXPECT_TRUE(dialog->urlEdit()->hasFocus());
    EXPECT_FALSE(dialog->startAddress()->isEnabled());
    EXPECT_FALSE(dialog->endAddress()->isEnabled());

    dialog->urlEdit()->setText("kept");
    dialog->resultList()->setFocus();
    dialog->modeIpButton()->click();
    EXPECT_FALSE(dialog->urlEdit()->isEnabled());
    EXPECT_EQ(dialog->urlEdit()->text(), "kept");
    EXPECT_TRUE(dialog->startAddress()->isEnabled());
    EXPECT_TRUE(dialog->endAddress()->isEnabled());
    EXPECT_EQ(dialog->startAddress()->text(), "192.168.3.129");
}

}  // namespace
}  // namespace talvik::test
