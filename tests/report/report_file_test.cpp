#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "report/ReportFile.h"

namespace talvik {
namespace {

namespace fs = std::filesystem;

const std::string kAsk = "文件已存在，是否覆盖原文件!";
const std::string kFailed = "保存文件失败!";
const std::string kReadOnly = "原文件无法被覆盖，请检查该文件是否为只读!";
const std::vector<ReportRow> kRows(2000, {"203.0.113.7", "running", "02-00-00-00-00-07"});
constexpr ReportTime kTime{2026, 12, 7, 9, 5};

// Answers every question with `answer`; each text must come with its caption and type.
struct RecordingMessageBox final : IMessageBox {
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override {
        texts.push_back(text);
        EXPECT_EQ(caption, "Talvik");
        EXPECT_EQ(type, text == kAsk ? 0x24u : text.starts_with("在存取 ") ? 0x10u : 0u) << text;
        return text == kAsk ? answer : kIdOk;
    }
    int answer = kIdNo;
    std::vector<std::string> texts;
};

class ReportFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fs::create_directory(folder)); }
    void TearDown() override { fs::remove_all(folder); }

    // Saves to `name` in the folder over an old report of mode `old` (none when 0, a folder when
    // -1). The target ends up new or untouched, with its mode kept, and no temporary stays.
    void Save(const std::string& name, int old, int answer, SaveOutcome outcome,
              const std::vector<std::string>& texts) {
        const fs::path target = folder / name;
        if (old > 0) {
            std::ofstream(target) << "the report saved before";
            fs::permissions(target, fs::perms(old));
        } else if (old < 0) {
            fs::create_directory(target);
        }
        RecordingMessageBox messages;
        messages.answer = answer;
        const mode_t mask = umask(027);
        EXPECT_EQ(SaveHtmlReport(target, kRows, kTime, messages), outcome);
        umask(mask);
        EXPECT_EQ(messages.texts, texts);
        if (old >= 0 && fs::exists(target)) {
            std::ifstream in(target, std::ios::binary);
            const std::string bytes{std::istreambuf_iterator<char>(in), {}};
            EXPECT_EQ(bytes, outcome == SaveOutcome::Saved ? BuildHtmlReport(kRows, kTime)
                                                           : "the report saved before");
            EXPECT_EQ(fs::status(target).permissions(), fs::perms(old > 0 ? old : 0640));
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}),
                  old != 0 || fs::exists(target));
    }

    const fs::path folder =
        fs::temp_directory_path() / ("talvik-report-" + std::to_string(getpid()));
};

TEST_F(ReportFileTest, ReplacesAFileOnlyOnYesAndWhenItCanAndSaysWhyNot) {
    const struct {
        std::string name;
        int old;
        int answer;
        SaveOutcome outcome;
        std::vector<std::string> texts;
    } cases[] = {
        {"Result.Html", 0, kIdNo, SaveOutcome::Saved, {}},
        {std::string(255, 'r'), 0, kIdNo, SaveOutcome::Saved, {}},  // no room left in the name
        {"Result.Html", 0604, kIdNo, SaveOutcome::Declined, {kAsk}},
        {"Result.Html", 0604, kIdYes, SaveOutcome::Saved, {kAsk}},
        {"Result.Html", 0444, kIdYes, SaveOutcome::ReadOnly, {kAsk, kReadOnly}},
        {"missing/Result.Html", 0, kIdYes, SaveOutcome::Failed, {kFailed}},
        {"Result.Html", -1, kIdYes, SaveOutcome::Failed, {kFailed}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        fs::remove_all(folder / "Result.Html");
        Save(c.name, c.old, c.answer, c.outcome, c.texts);
        fs::remove_all(folder / c.name);
    }
}

TEST_F(ReportFileTest, WriteFailuresKeepTheOldReportAndOnlyAFullDiskSaysSo) {
    const std::string target = (folder / "Result.Html").string();
    const struct {
        std::function<bool()> setUp;
        SaveOutcome outcome;
        std::string text;
    } cases[] = {
        {[] {
             return setrlimit(RLIMIT_FSIZE, std::array{rlimit{4096, 4096}}.data()) == 0;
         },
         SaveOutcome::Failed, kFailed},
        // A tiny file system of our own.
        {[&] {
             return unshare(CLONE_NEWNS) == 0 &&
                    mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                    mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=32k") == 0;
         },
         SaveOutcome::DiskFull, "在存取 " + target + " 时磁盘已满。"},
    };
    std::signal(SIGXFSZ, SIG_IGN);
    for (const auto& c : cases) {
        // In a child, so that the limit and the mount do not reach this process.
        if (fork() == 0) {
            _exit(!c.setUp() ? 77
                             : (Save("Result.Html", 0644, kIdYes, c.outcome, {kAsk, c.text}),
                                HasFailure()));
        }
        int status = 0;
        wait(&status);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
            GTEST_SKIP() << "no private mount namespace here (needs root)";
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.text;
    }
}

}  // namespace
}  // namespace talvik
