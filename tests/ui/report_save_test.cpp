#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "report/HtmlReport.h"
#include "scan/CommandIds.h"
#include "scan/ScanEngine.h"
#include "tests/ui/ScriptedMessageBox.h"
#include "ui/QtPorts.h"
#include "ui/ReportSave.h"
#include "ui/ScannerDlg.h"

namespace talvik::test {
namespace {

// Answers the save dialog from a script; once the script runs out the user cancels.
class ScriptedSaveFileDialog final : public ISaveFileDialog {
public:
    std::optional<QString> GetSaveFileName(QWidget* owner) override {
        owners.push_back(owner);
        if (answers.empty()) {
            return std::nullopt;
        }
        std::optional<QString> answer;
        answer.swap(answers.front());
        answers.pop_front();
        return answer;
    }

    std::deque<std::optional<QString>> answers;
    std::vector<QWidget*> owners;
};

class ReportSaveTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        ScannerServices services;
        services.messageBox = &messages;
        services.saveFileDialog = &files;
        AddServices(services);
        dialog = std::make_unique<CScannerDlg>(std::move(services));
        dialog->show();
    }

    virtual void AddServices(ScannerServices&) {}

    void AddRow(const ReportRow& row) {
        QtResultList& list = dialog->ResultRows();
        const int index = list.InsertItem(list.GetItemCount(), QString::fromStdString(row.host));
        list.SetItemText(index, 1, row.status);
        list.SetItemText(index, 2, row.mac);
        rows.push_back(row);
    }

    void Save(std::optional<QString> answer) {
        files.answers.push_back(std::move(answer));
        before = LocalReportTime(std::time(nullptr));
        dialog->menuAction(ID_SAVE_RESULTS)->trigger();
        after = LocalReportTime(std::time(nullptr));
    }

    std::string Read(const QString& name) const {
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        const QByteArray bytes = file.readAll();
        return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }

    // Whether the file is the report of the rows added so far, made at the time of the last save.
    bool HoldsReport(const QString& name) const {
        const std::string written = Read(name);
        return written == BuildHtmlReport(rows, before) || written == BuildHtmlReport(rows, after);
    }

    QStringList Files() const { return QDir(folder.path()).entryList(QDir::Files | QDir::Hidden); }

    QTemporaryDir folder;
    ScriptedMessageBox messages;
    ScriptedSaveFileDialog files;
    std::unique_ptr<CScannerDlg> dialog;
    std::vector<ReportRow> rows;
    ReportTime before;
    ReportTime after;
};

TEST_F(ReportSaveTest, MenuItemWritesEveryRowToTheChosenNameWithHtmlAdded) {
    AddRow({"203.0.113.7", "running", "02-00-5e-00-00-07"});
    AddRow({"名字<b>&", "", "Unknown host"});
    AddRow({"203.0.113.9", "", ""});

    Save(folder.filePath(QStringLiteral("scan")));
    ASSERT_EQ(files.owners.size(), 1u);
    EXPECT_EQ(files.owners[0], dialog.get());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(HoldsReport(QStringLiteral("scan.Html")));

    Save(folder.filePath(QStringLiteral("scan.html")));
    EXPECT_TRUE(HoldsReport(QStringLiteral("scan.html.Html")));
    EXPECT_EQ(Files(),
              (QStringList{QStringLiteral("scan.Html"), QStringLiteral("scan.html.Html")}));
}

TEST_F(ReportSaveTest, CancelWritesNothing) {
    AddRow({"203.0.113.7", "running", "02-00-5e-00-00-07"});
    Save(std::nullopt);
    EXPECT_EQ(files.owners.size(), 1u);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(Files().isEmpty());
}

TEST_F(ReportSaveTest, SavingAgainAsksAndKeepsTheFirstReportOnNo) {
    AddRow({"203.0.113.7", "running", "02-00-5e-00-00-07"});
    Save(folder.filePath(QStringLiteral("Result")));
    ASSERT_TRUE(HoldsReport(QStringLiteral("Result.Html")));
    const std::string first = Read(QStringLiteral("Result.Html"));

    AddRow({"203.0.113.8", "", ""});
    messages.Answer(kIdNo);
    Save(folder.filePath(QStringLiteral("Result")));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "文件已存在，是否覆盖原文件!");
    EXPECT_EQ(messages.shown[0].caption, "Talvik");
    EXPECT_EQ(messages.shown[0].type, 0x24u);
    EXPECT_EQ(Read(QStringLiteral("Result.Html")), first);

    messages.Answer(kIdYes);
    Save(folder.filePath(QStringLiteral("Result")));
    EXPECT_EQ(messages.shown.size(), 2u);
    EXPECT_TRUE(HoldsReport(QStringLiteral("Result.Html")));
    EXPECT_EQ(Files(), QStringList{QStringLiteral("Result.Html")});
}

// Answers 203.0.113.7 at once and leaves every other address waiting until the scan stops.
class OneAnsweringArp final : public IArpSender {
public:
    std::uint32_t SendARP(std::uint32_t destination, std::uint8_t* mac, std::uint32_t* length,
                          std::stop_token stop) override {
        if (destination == 0xCB007107u) {
            const std::uint8_t answer[6] = {0x02, 0x00, 0x5e, 0x00, 0x00, 0x07};
            std::copy(std::begin(answer), std::end(answer), mac);
            *length = 6;
            return kNoError;
        }
        std::mutex mutex;
        std::condition_variable_any never;
        std::unique_lock lock(mutex);
        never.wait(lock, stop, [] { return false; });
        return kErrorCancelled;
    }
};

class ReportDuringScanTest : public ReportSaveTest {
protected:
    void AddServices(ScannerServices& services) override {
        services.threads = MakeThreads();
        services.resolver = MakeNameResolver();
        services.arp = std::make_shared<OneAnsweringArp>();
    }
};

TEST_F(ReportDuringScanTest, SaveDuringAScanWritesTheRowsAsTheyStand) {
    QtResultList& list = dialog->ResultRows();
    list.InsertItem(0, QStringLiteral("203.0.113.7"));
    list.InsertItem(1, QStringLiteral("203.0.113.8"));
    dialog->OnScanAll();
    ASSERT_TRUE(QTest::qWaitFor([&] { return list.GetItemText(0, 1) == "running"; }));
    ASSERT_TRUE(dialog->Engine().IsScanRunning());
    ASSERT_TRUE(dialog->menuAction(ID_SAVE_RESULTS)->isEnabled());

    Save(folder.filePath(QStringLiteral("Result")));
    rows = ReportRowsOf(list);
    dialog->OnStopScan();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_FALSE(rows[0].mac.empty());
    EXPECT_EQ(rows[1].status, "");
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(HoldsReport(QStringLiteral("Result.Html")));
}

// Runs `check` on the save dialog once it is up, then closes it with `accept`.
std::optional<QString> AnswerToolkitDialog(bool accept,
                                           const std::function<void(QFileDialog&)>& check) {
    QTimer::singleShot(0, [&] {
        auto* fileDialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (fileDialog == nullptr) {
            ADD_FAILURE() << "no file dialog";
            return;
        }
        check(*fileDialog);
        if (accept) {
            static_cast<QDialog*>(fileDialog)->accept();
        } else {
            fileDialog->reject();
        }
    });
    QtSaveFileDialog dialog;
    return dialog.GetSaveFileName(nullptr);
}

TEST(ToolkitSaveDialogTest, OffersTheHtmlFilterAndTheNameResult) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString oldCurrent = QDir::currentPath();
    QDir::setCurrent(folder.path());
    const std::optional<QString> chosen = AnswerToolkitDialog(true, [](QFileDialog& dialog) {
        EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
        EXPECT_FALSE(dialog.testOption(QFileDialog::DontConfirmOverwrite));
        EXPECT_EQ(dialog.nameFilters(), QStringList{QStringLiteral("Html file (*.html)")});
        EXPECT_TRUE(dialog.defaultSuffix().isEmpty());
    });
    const std::optional<QString> cancelled = AnswerToolkitDialog(false, [](QFileDialog&) {});
    QDir::setCurrent(oldCurrent);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(QFileInfo(*chosen).fileName(), QStringLiteral("Result"));
    EXPECT_EQ(ReportPathFor(*chosen), (*chosen + QStringLiteral(".Html")).toStdString());
    EXPECT_FALSE(cancelled.has_value());
}

}  // namespace
}  // namespace talvik::test
