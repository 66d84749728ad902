// SPDX-License-Identifier: GPL-3.0-or-later
#include <QDateTime>
#include <QFileDialog>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "report/HtmlReport.h"
#include "tests/ui/DialogFixture.h"
#include "ui/ScannerCommands.h"

namespace talvik::test {
namespace {

class ReportSaveTest : public DialogTest {
protected:
    void AddRow(const ReportRow& row) {
        QtResultList& list = dialog->ResultRows();
        const int index = list.InsertItem(list.GetItemCount(), QString::fromStdString(row.host));
        list.SetItemText(index, 1, row.status);
        list.SetItemText(index, 2, row.mac);
        rows.push_back(row);
    }

    // Saves through the menu, the save dialog answering `name` in the folder, or cancelling.
    void Save(const char* name) {
        if (name != nullptr) {
            files.answers.push_back(folder.filePath(QString::fromUtf8(name)));
        }
        before = Now();
        dialog->menuAction(ID_SAVE_RESULTS)->trigger();
        after = Now();
    }

    // The local time as the toolkit reckons it, apart from the conversion under test.
    static ReportTime Now() {
        const QDateTime now = QDateTime::currentDateTime();
        return {now.date().year(), now.date().month(), now.date().day(), now.time().hour(),
                now.time().minute()};
    }

    std::string Read(const QString& name) const {
        QFile file(folder.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }

    // Whether the file is the report of the rows added so far, made at the time of the last save.
    bool HoldsReport(const QString& name) const {
        const std::string written = Read(name);
        return written == BuildHtmlReport(rows, before) || written == BuildHtmlReport(rows, after);
    }

    QTemporaryDir folder;
    std::vector<ReportRow> rows;
    ReportTime before;
    ReportTime after;
};

TEST_F(ReportSaveTest, WritesToTheChosenNameWithHtmlAddedUnlessItHasItAndAsksBeforeReplacing) {
    AddRow({"203.0.113.7", "running", "02-00-5e-00-00-07"});
    AddRow({"名字<b>&", "", "Unknown host"});
    Save("scan");
    EXPECT_EQ(files.owners, std::vector<QWidget*>{dialog.get()});
    EXPECT_TRUE(HoldsReport("scan.Html"));
    for (const char* name : {"scan.html", "Result.HTML", "x.html.Html"}) {
        Save(name);
        EXPECT_TRUE(HoldsReport(name)) << name;
    }
    Save(nullptr);
    EXPECT_TRUE(messages.shown.empty());
    const std::string first = Read("scan.Html");

    AddRow({"203.0.113.8", "", ""});
    const ShownMessage question{"文件已存在，是否覆盖原文件!", "Talvik",
                                kMbYesNo | kMbIconQuestion};
    messages.answers = {kIdNo, kIdYes};
    Save("scan");
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{question});
    EXPECT_EQ(Read("scan.Html"), first);
    Save("scan");
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>(2, question));
    EXPECT_TRUE(HoldsReport("scan.Html"));
    messages.answers = {kIdYes};
    Save("Result.HTML");  // the existing report chosen in the dialog: one question, replaced
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>(3, question));
    EXPECT_TRUE(HoldsReport("Result.HTML"));
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
              (QStringList{"Result.HTML", "scan.Html", "scan.html", "x.html.Html"}));
}

TEST(SaveDialog, AsksNothingItselfAndOpensAtHomeThenWhereTheLastReportWent) {
    const std::unique_ptr<QFileDialog> first = QtSaveFileDialog::Make(nullptr);
    EXPECT_TRUE(first->testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_EQ(first->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(first->directory(), QDir::home());

    QTemporaryDir folder;
    std::optional<QString> chosen;
    WithModal<QFileDialog>([&] { chosen = QtSaveFileDialog().GetSaveFileName(nullptr); },
                           [&](QFileDialog& shown) {
                               shown.selectFile(folder.filePath("week"));
                               static_cast<QDialog&>(shown).accept();
                           });
    EXPECT_EQ(chosen, folder.filePath("week"));
    EXPECT_EQ(QtSaveFileDialog::Make(nullptr)->directory(), QDir(folder.path()));
}

TEST_F(ReportSaveTest, SaveDuringAScanWritesTheRowsAsTheyStand) {
    arp->SetDefault(Held());
    arp->Script(0xCB007107u, Answers({2, 0, 0x5e, 0, 0, 7}));  // 203.0.113.7
    AddRows({"203.0.113.7", "203.0.113.8"});
    dialog->OnScanAll();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return dialog->ResultRows().GetItemText(0, 1) == "running"; }));
    ASSERT_TRUE(dialog->menuAction(ID_SAVE_RESULTS)->isEnabled());
    rows = ReportRowsOf(dialog->ResultRows());
    Save("Result");
    dialog->OnStopScan();
    EXPECT_EQ(rows[1].status, "");
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(HoldsReport("Result.Html"));
}

// The export asks and refuses as the report's save does, and writes the command's columns.
TEST_F(ReportSaveTest, ExportWritesCsvOrJsonAndAsksBeforeReplacing) {
    QtResultList& list = dialog->ResultRows();
    AddRow({"203.0.113.7", "running", "00-0C-29-3A-4B-5C"});
    list.SetRowOutcome(0, RowOutcome::Answered, 0xCB007107);
    AddRow({"203.0.113.8", "", ""});
    list.SetRowOutcome(1, RowOutcome::Silent, 0xCB007108);
    AddRow({"nas,home", "", "Unknown host"});
    list.SetRowOutcome(2, RowOutcome::Unresolved, 0);
    AddRow({"203.0.113.9", "", ""});  // never asked
    AddRow({"=1+1", "", "Unknown host"});
    list.SetRowOutcome(4, RowOutcome::Unresolved, 0);
    const auto exportAs = [&](const char* name) {
        exports.answers.push_back(folder.filePath(QString::fromUtf8(name)));
        dialog->menuAction(ID_EXPORT_RESULTS)->trigger();
    };
    exportAs("scan.csv");
    EXPECT_EQ(exports.owners, std::vector<QWidget*>{dialog.get()});
    // With UTF-8's byte order mark, so that a spreadsheet reads Chinese names right.
    EXPECT_EQ(Read("scan.csv"),
              "\xEF\xBB\xBF"
              "address,state,mac,maker,host_name,name,first_seen,last_seen,new,previous_mac,"
              "other_macs,interface\r\n"
              "203.0.113.7,answered,00:0c:29:3a:4b:5c,,,,,,,,,\r\n"
              "203.0.113.8,silent,,,,,,,,,,\r\n"
              "\"nas,home\",unresolved,,,,,,,,,,\r\n"
              "203.0.113.9,not-asked,,,,,,,,,,\r\n"
              "'=1+1,unresolved,,,,,,,,,,\r\n");
    exportAs("scan.JSON");
    const std::string json = Read("scan.JSON");
    EXPECT_EQ(json.rfind("{\"targets\": 5, \"answered\": 1, \"notes\": [], \"hosts\": [", 0), 0U)
        << json;
    EXPECT_NE(json.find("{\"target\": \"nas,home\", \"address\": null, \"state\": "
                        "\"unresolved\""),
              std::string::npos)
        << json;
    EXPECT_TRUE(messages.shown.empty());

    const ShownMessage question{"文件已存在，是否覆盖原文件!", "Talvik",
                                kMbYesNo | kMbIconQuestion};
    AddRow({"203.0.113.10", "", ""});
    messages.answers = {kIdNo};
    exportAs("scan.csv");
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{question});
    EXPECT_EQ(Read("scan.csv").find("203.0.113.10"), std::string::npos);
    messages.answers = {kIdYes};
    exportAs("scan.csv");
    EXPECT_NE(Read("scan.csv").find("203.0.113.10,not-asked"), std::string::npos);
    exports.answers.clear();
    dialog->menuAction(ID_EXPORT_RESULTS)->trigger();  // cancelled: nothing more
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
              (QStringList{"scan.JSON", "scan.csv"}));
}

// A report or an export whose name is, or leads through a link to, a device node (made here as
// the null device is) or a FIFO is refused, and the nodes stay.
TEST_F(ReportSaveTest, ReportAndExportNeverReplaceADeviceOrAFifo) {
    const auto node = [&](const char* name) { return QFile::encodeName(folder.filePath(name)); };
    if (mknod(node("null"), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        GTEST_SKIP() << "making a device node needs root";
    }
    ASSERT_EQ(mkfifo(node("f.html"), 0666), 0);
    ASSERT_EQ(mkfifo(node("f.csv"), 0666), 0);
    ASSERT_TRUE(QFile::link(folder.filePath("null"), folder.filePath("r.html")));
    ASSERT_TRUE(QFile::link(folder.filePath("null"), folder.filePath("e.csv")));
    AddRow({"203.0.113.7", "running", "02-00-5e-00-00-07"});
    messages.answers = {kIdYes, kIdYes, kIdYes, kIdYes};
    Save("r.html");
    Save("f.html");
    exports.answers = {folder.filePath("e.csv"), folder.filePath("f.csv")};
    dialog->menuAction(ID_EXPORT_RESULTS)->trigger();
    dialog->menuAction(ID_EXPORT_RESULTS)->trigger();
    EXPECT_EQ(messages.shown,
              std::vector<ShownMessage>(4, ShownMessage{"保存文件失败!", "Talvik", 0}));
    struct stat st {};
    EXPECT_TRUE(stat(node("null"), &st) == 0 && S_ISCHR(st.st_mode));
    EXPECT_TRUE(stat(node("f.html"), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_TRUE(stat(node("f.csv"), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_EQ(QDir(folder.path())
                  .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                             QDir::Name),
              (QStringList{"e.csv", "f.csv", "f.html", "null", "r.html"}));
}

TEST(ExportDialog, OffersCsvAndJsonAndAddsTheChosenFiltersExtension) {
    const std::unique_ptr<QFileDialog> shown = QtExportFileDialog::Make(nullptr);
    EXPECT_EQ(shown->nameFilters(), (QStringList{"CSV (*.csv)", "JSON (*.json)"}));
    EXPECT_TRUE(shown->testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_EQ(ExportNameFor("/tmp/r", false), "/tmp/r.csv");
    EXPECT_EQ(ExportNameFor("/tmp/r", true), "/tmp/r.json");
    EXPECT_EQ(ExportNameFor("/tmp/r.CSV", true), "/tmp/r.CSV");
    EXPECT_EQ(ExportNameFor("/tmp/r.json", false), "/tmp/r.json");
    EXPECT_EQ(ExportNameFor("/tmp/r.html", false), "/tmp/r.html.csv");
    EXPECT_TRUE(IsJsonName("a.Json"));
    EXPECT_FALSE(IsJsonName("a.csv"));
}

}  // namespace
}  // namespace talvik::test
