#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "report/ReportFile.h"

namespace talvik {
namespace {

namespace fs = std::filesystem;

const std::string kAsk = "文件已存在，是否覆盖原文件!";
const std::string kReadOnly = "原文件无法被覆盖，请检查该文件是否为只读!";
const std::string kFailed = "保存文件失败!";
const std::vector<ReportRow> kRows(2000, {"203.0.113.7", "running", "02-00-00-00-00-07"});
constexpr ReportTime kTime{2026, 12, 7, 9, 5};
const std::string kOld = "the report saved before";

// Answers every question with `answer` and records the texts; all must have the caption and type
// that go with them.
class RecordingMessageBox final : public IMessageBox {
public:
    explicit RecordingMessageBox(int answer) : answer_(answer) {}
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override {
        texts.push_back(text);
        const bool ok = caption == "Talvik" && type == (text == kAsk                  ? 0x24u
                                                        : text.starts_with("在存取 ") ? 0x10u
                                                                                      : 0u);
        EXPECT_TRUE(ok) << text << " " << caption << " " << type;
        return text == kAsk ? answer_ : kIdOk;
    }
    std::vector<std::string> texts;

private:
    int answer_;
};

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ReportFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "talvik-report-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
    }
    void TearDown() override { fs::remove_all(folder); }

    // Saves over an old report with mode `mode`, answering `answer`; checks the outcome and the
    // messages, and that the folder holds nothing but the target, new or old as it should.
    void Save(fs::perms mode, int answer, SaveOutcome outcome,
              const std::vector<std::string>& texts) {
        std::ofstream(target, std::ios::binary) << kOld;
        fs::permissions(target, mode);
        RecordingMessageBox messages(answer);
        EXPECT_EQ(SaveHtmlReport(target, kRows, kTime, messages), outcome);
        EXPECT_EQ(messages.texts, texts);
        EXPECT_EQ(Read(target),
                  outcome == SaveOutcome::Saved ? BuildHtmlReport(kRows, kTime) : kOld);
        EXPECT_EQ(fs::status(target).permissions(), mode);
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    }

    // Runs `body` in a child process, for limits or mounts that must not reach this one; gives
    // the child's exit code, 77 meaning it could not set itself up.
    static int InChild(const std::function<int()>& body) {
        const pid_t child = fork();
        if (child == 0) {
            _exit(body());
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    fs::path folder;
    fs::path target = "";
};

TEST_F(ReportFileTest, NewFilesAreWrittenWithoutAQuestionAndTheUsualPermissions) {
    const mode_t oldMask = umask(027);
    RecordingMessageBox messages(kIdNo);
    // A name as long as a folder entry can be still leaves room for a temporary beside it.
    for (const fs::path& path : {folder / "Result.Html", folder / std::string(255, 'r')}) {
        EXPECT_EQ(SaveHtmlReport(path, kRows, kTime, messages), SaveOutcome::Saved);
        EXPECT_EQ(Read(path), BuildHtmlReport(kRows, kTime));
        EXPECT_EQ(fs::status(path).permissions(), static_cast<fs::perms>(0640));
    }
    umask(oldMask);
    EXPECT_TRUE(messages.texts.empty());
}

TEST_F(ReportFileTest, AnExistingFileIsReplacedOnlyOnYesAndWhenItCanBe) {
    target = folder / "Result.Html";
    Save(static_cast<fs::perms>(0604), kIdNo, SaveOutcome::Declined, {kAsk});
    Save(static_cast<fs::perms>(0604), kIdYes, SaveOutcome::Saved, {kAsk});
    Save(static_cast<fs::perms>(0444), kIdYes, SaveOutcome::ReadOnly, {kAsk, kReadOnly});
}

TEST_F(ReportFileTest, UnusablePathsSaySavingFailed) {
    RecordingMessageBox messages(kIdYes);
    fs::create_directory(folder / "Result.Html");
    for (const fs::path& path : {folder / "missing" / "Result.Html", folder / "Result.Html"}) {
        EXPECT_EQ(SaveHtmlReport(path, kRows, kTime, messages), SaveOutcome::Failed);
    }
    EXPECT_EQ(messages.texts, std::vector<std::string>(2, kFailed));
    EXPECT_TRUE(fs::is_directory(folder / "Result.Html"));
}

TEST_F(ReportFileTest, WriteFailuresKeepTheOldReportAndOnlyAFullDiskSaysSo) {
    target = folder / "Result.Html";
    const int fullDisk = InChild([&] {
        // A tiny file system of our own, seen by this process alone.
        if (unshare(CLONE_NEWNS) != 0 ||
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=32k") != 0) {
            return 77;
        }
        Save(fs::perms(0644), kIdYes, SaveOutcome::DiskFull,
             {kAsk, "在存取 " + target.string() + " 时磁盘已满。"});
        return HasFailure() ? 1 : 0;
    });
    const int otherFailure = InChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 77;
        }
        Save(fs::perms(0644), kIdYes, SaveOutcome::Failed, {kAsk, kFailed});
        return HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(otherFailure, 0);
    if (fullDisk == 77) {
        GTEST_SKIP() << "no private mount namespace here (needs root)";
    }
    EXPECT_EQ(fullDisk, 0);
}

}  // namespace
}  // namespace talvik
