#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "report/ReportFile.h"

namespace talvik {
namespace {

namespace fs = std::filesystem;

struct Shown {
    std::string text;
    std::string caption;
    unsigned type;
};

class RecordingMessageBox final : public IMessageBox {
public:
    explicit RecordingMessageBox(int answer = kIdNo) : answer_(answer) {}
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override {
        shown.push_back({text, caption, type});
        return (type & 0x0Fu) == kMbYesNo ? answer_ : kIdOk;
    }
    std::vector<Shown> shown;

private:
    int answer_;
};

const std::vector<ReportRow> kRows = {{"203.0.113.7", "running", "02-00-00-00-00-07"},
                                      {"203.0.113.8", "", ""}};
constexpr ReportTime kTime{2026, 12, 7, 9, 5};
const std::string kOldReport = "the report saved before";

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class ReportFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "talvik-report-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        target = folder / "Result.Html";
    }
    void TearDown() override {
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(folder);
    }

    std::set<std::string> Entries() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    // Runs `body` in a child process, for changes to limits or mounts that must not reach this
    // one; the child's exit code is returned, 77 meaning it could not set itself up.
    static int InChild(const std::function<int()>& body) {
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            _exit(body());
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    fs::path folder;
    fs::path target;
};

TEST_F(ReportFileTest, NewFileIsWrittenWithoutAQuestion) {
    const mode_t oldMask = umask(027);
    RecordingMessageBox messages;
    EXPECT_EQ(SaveHtmlReport(target, kRows, kTime, messages), SaveOutcome::Saved);
    umask(oldMask);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(ReadFile(target), BuildHtmlReport(kRows, kTime));
    EXPECT_EQ(fs::status(target).permissions(), static_cast<fs::perms>(0640));
    EXPECT_EQ(Entries(), std::set<std::string>{"Result.Html"});

    // A name as long as a folder entry can be still has room for the temporary beside it.
    const fs::path longName = folder / std::string(255, 'r');
    EXPECT_EQ(SaveHtmlReport(longName, {}, kTime, messages), SaveOutcome::Saved);
    EXPECT_EQ(ReadFile(longName), BuildHtmlReport({}, kTime));
}

TEST_F(ReportFileTest, ExistingFileIsAskedAboutAndReplacedOnlyOnYes) {
    WriteFile(target, kOldReport);
    fs::permissions(target, static_cast<fs::perms>(0604));

    RecordingMessageBox no(kIdNo);
    EXPECT_EQ(SaveHtmlReport(target, kRows, kTime, no), SaveOutcome::Declined);
    ASSERT_EQ(no.shown.size(), 1u);
    EXPECT_EQ(no.shown[0].text, "文件已存在，是否覆盖原文件!");
    EXPECT_EQ(no.shown[0].caption, "Talvik");
    EXPECT_EQ(no.shown[0].type, 0x24u);
    EXPECT_EQ(ReadFile(target), kOldReport);

    RecordingMessageBox yes(kIdYes);
    EXPECT_EQ(SaveHtmlReport(target, kRows, kTime, yes), SaveOutcome::Saved);
    EXPECT_EQ(yes.shown.size(), 1u);
    EXPECT_EQ(ReadFile(target), BuildHtmlReport(kRows, kTime));
    EXPECT_EQ(fs::status(target).permissions(), static_cast<fs::perms>(0604));
    EXPECT_EQ(Entries(), std::set<std::string>{"Result.Html"});
}

TEST_F(ReportFileTest, ReadOnlyFileAnsweredYesStaysAsItWas) {
    WriteFile(target, kOldReport);
    fs::permissions(target, static_cast<fs::perms>(0444));
    RecordingMessageBox messages(kIdYes);
    EXPECT_EQ(SaveHtmlReport(target, kRows, kTime, messages), SaveOutcome::ReadOnly);
    ASSERT_EQ(messages.shown.size(), 2u);
    EXPECT_EQ(messages.shown[1].text, "原文件无法被覆盖，请检查该文件是否为只读!");
    EXPECT_EQ(messages.shown[1].caption, "Talvik");
    EXPECT_EQ(messages.shown[1].type, 0u);
    EXPECT_EQ(ReadFile(target), kOldReport);
    EXPECT_EQ(Entries(), std::set<std::string>{"Result.Html"});
}

TEST_F(ReportFileTest, UnusablePathsSaySavingFailed) {
    RecordingMessageBox messages(kIdYes);
    EXPECT_EQ(SaveHtmlReport(folder / "missing" / "Result.Html", kRows, kTime, messages),
              SaveOutcome::Failed);
    fs::create_directory(target);
    EXPECT_EQ(SaveHtmlReport(target, kRows, kTime, messages), SaveOutcome::Failed);
    ASSERT_EQ(messages.shown.size(), 2u);
    for (const Shown& shown : messages.shown) {
        EXPECT_EQ(shown.text, "保存文件失败!");
        EXPECT_EQ(shown.caption, "Talvik");
        EXPECT_EQ(shown.type, 0u);
    }
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_EQ(Entries(), std::set<std::string>{"Result.Html"});
}

// Many rows, so the report is larger than the small limits below.
std::vector<ReportRow> ManyRows() {
    return std::vector<ReportRow>(2000, kRows[0]);
}

TEST_F(ReportFileTest, FullDiskSaysSoAndKeepsTheOldReport) {
    const int code = InChild([this] {
        // A tiny file system of our own, seen by this process alone.
        if (unshare(CLONE_NEWNS) != 0 ||
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=32k") != 0) {
            return 77;
        }
        WriteFile(target, kOldReport);
        RecordingMessageBox messages(kIdYes);
        const SaveOutcome outcome = SaveHtmlReport(target, ManyRows(), kTime, messages);
        const bool ok = outcome == SaveOutcome::DiskFull && messages.shown.size() == 2 &&
                        messages.shown[1].text == "在存取 " + target.string() + " 时磁盘已满。" &&
                        messages.shown[1].caption == "Talvik" && messages.shown[1].type == 0x10 &&
                        ReadFile(target) == kOldReport &&
                        Entries() == std::set<std::string>{"Result.Html"};
        return ok ? 0 : 1;
    });
    if (code == 77) {
        GTEST_SKIP() << "no private mount namespace here (needs root)";
    }
    EXPECT_EQ(code, 0);
}

TEST_F(ReportFileTest, OtherWriteFailuresAreNotCalledAFullDisk) {
    WriteFile(target, kOldReport);
    const int code = InChild([this] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 77;
        }
        RecordingMessageBox messages(kIdYes);
        const SaveOutcome outcome = SaveHtmlReport(target, ManyRows(), kTime, messages);
        return outcome == SaveOutcome::Failed && messages.shown.size() == 2 &&
                       messages.shown[1].text == "保存文件失败!"
                   ? 0
                   : 1;
    });
    ASSERT_NE(code, 77);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadFile(target), kOldReport);
    EXPECT_EQ(Entries(), std::set<std::string>{"Result.Html"});
}

}  // namespace
}  // namespace talvik
