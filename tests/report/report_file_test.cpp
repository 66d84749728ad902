// SPDX-License-Identifier: GPL-3.0-or-later
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "report/ReportFile.h"

namespace talvik::test {
namespace {

namespace fs = std::filesystem;

const std::string kAsk = "文件已存在，是否覆盖原文件!";
const std::string kFailed = "保存文件失败!";
const std::string kReadOnly = "原文件无法被覆盖，请检查该文件是否为只读!";
const std::string kOthers =
    "原文件属于其他用户，且位于共享文件夹中，不能覆盖。请换一个文件名保存。";
const std::vector<ReportRow> kRows(2000, {"203.0.113.7", "running", "02-00-00-00-00-07"});
constexpr ReportTime kTime{2026, 12, 7, 9, 5};
constexpr uid_t kNobody = 65534;  // also the id of its group, nogroup

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

// Runs `body` in a child after `setUp` there, so that neither reaches this process: the exit
// code is 77 when `setUp` failed, else whether `body` failed.
int InChild(const std::function<bool()>& setUp, const std::function<void()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(!setUp() ? 77 : (body(), ::testing::Test::HasFailure()));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

struct Case {
    std::string name;  // saved to, in the folder
    int old;           // mode of the report there before: none when 0, a folder when -1
    int answer;
    SaveOutcome outcome;
    std::vector<std::string> texts;
    std::string link = "";  // `name` is a symbolic link to this, or with `hard` a second name
    bool hard = false;
    uid_t owner = 0;        // of the old report and the link, with the group nogroup
    uid_t user = 0;         // who saves: nobody has no groups but nogroup
    int folderMode = 0775;  // the folder's group is nogroup
};

class ReportFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fs::create_directory(folder)); }
    void TearDown() override { fs::remove_all(folder); }

    // Every name under `under`, links not followed.
    std::set<std::string> Entries(const fs::path& under = {}) const {
        std::set<std::string> entries;
        for (const auto& entry : fs::directory_iterator(folder / under)) {
            const fs::path name = under / entry.path().filename();
            entries.insert(name.string());
            if (fs::is_directory(entry.symlink_status())) {
                entries.merge(Entries(name));
            }
        }
        return entries;
    }

    // Saves over what the case lays out. The report ends up new or untouched, whose it was and
    // with its mode, links stay what they were, and nothing else appears in the folder.
    void Save(const Case& c) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            fs::remove_all(entry.path());
        }
        chown(folder.c_str(), 0, kNobody);
        fs::permissions(folder, fs::perms(c.folderMode));
        const fs::path target = folder / c.name;
        const fs::path file = folder / (c.link.empty() ? c.name : c.link);
        if (!c.link.empty()) {
            fs::create_directories(file.parent_path());
        }
        if (c.old > 0) {
            std::ofstream(file) << "the report saved before";
            fs::permissions(file, fs::perms(c.old));
            chown(file.c_str(), c.owner, kNobody);
        } else if (c.old < 0) {
            fs::create_directory(file);
        }
        if (c.hard) {
            fs::create_hard_link(file, target);
        } else if (!c.link.empty()) {
            fs::create_symlink(c.link, target);
            lchown(target.c_str(), c.owner, kNobody);
        }
        std::set<std::string> entries = Entries();

        const auto save = [&] {
            RecordingMessageBox messages;
            messages.answer = c.answer;
            const mode_t mask = umask(027);
            EXPECT_EQ(SaveHtmlReport(target, kRows, kTime, messages), c.outcome);
            umask(mask);
            EXPECT_EQ(messages.texts, c.texts);
        };
        const auto asUser = [&] {
            return setgroups(0, nullptr) == 0 && setresgid(c.user, c.user, c.user) == 0 &&
                   setresuid(c.user, c.user, c.user) == 0;
        };
        if (c.user == 0) {
            save();
        } else {
            EXPECT_EQ(InChild(asUser, save), 0);
        }

        std::error_code error;
        const bool there = fs::exists(file, error);
        if (c.old >= 0 && there) {
            std::ifstream in(file, std::ios::binary);
            const std::string bytes{std::istreambuf_iterator<char>(in), {}};
            EXPECT_TRUE(bytes == (c.outcome == SaveOutcome::Saved ? BuildHtmlReport(kRows, kTime)
                                                                  : "the report saved before"))
                << bytes.substr(0, 80);
            EXPECT_EQ(fs::status(file).permissions(), fs::perms(c.old > 0 ? c.old : 0640));
            struct stat st {};
            stat(file.c_str(), &st);
            if (c.old > 0) {
                EXPECT_EQ(std::pair(st.st_uid, st.st_gid), std::pair(c.owner, kNobody));
            } else {
                entries.insert(fs::relative(file, folder).string());
            }
        }
        if (c.hard) {
            EXPECT_TRUE(fs::equivalent(target, file));
        } else if (!c.link.empty()) {
            EXPECT_TRUE(fs::is_symlink(target));
        }
        EXPECT_EQ(Entries(), entries);
    }

    const fs::path folder =
        fs::temp_directory_path() / ("talvik-report-" + std::to_string(getpid()));
};

TEST_F(ReportFileTest, ReplacesOnlyOnYesAndWhenItMayKeepingOwnersAndLinks) {
    using enum SaveOutcome;
    const std::string r = "Result.Html", real = "real/Result.Html";
    const std::vector<std::string> ask = {kAsk}, readOnly = {kAsk, kReadOnly},
                                   others = {kAsk, kOthers};
    const Case cases[] = {
        {r, 0, kIdNo, Saved, {}},
        {std::string(255, 'r'), 0, kIdNo, Saved, {}},  // no room left in the name
        {r, 0604, kIdNo, Declined, ask},
        {r, 0604, kIdYes, Saved, ask},
        {r, 0444, kIdYes, ReadOnly, readOnly},
        {"missing/Result.Html", 0, kIdYes, Failed, {kFailed}},
        {r, -1, kIdYes, Failed, {kFailed}},
        // Someone else's report, saved over by root, and by a member of its group; not in a
        // sticky folder, nor when it cannot even be read, though it is there.
        {r, 0664, kIdYes, Saved, ask, "", false, kNobody},
        {r, 0664, kIdYes, Saved, ask, "", false, 0, kNobody},
        {r, 0666, kIdYes, OthersFile, others, "", false, 0, kNobody, 01777},
        {r, 0600, kIdYes, ReadOnly, readOnly, "", false, 0, kNobody},
        // Root does not take over another user's file in a shared folder such as /tmp, neither
        // by handing it the report nor by writing into it, and says why, whatever its mode; its
        // own file there it replaces unless it is read-only.
        {r, 0666, kIdYes, OthersFile, others, "", false, kNobody, 0, 01777},
        {r, 0444, kIdYes, OthersFile, others, "", false, kNobody, 0, 01777},
        {r, 0666, kIdYes, OthersFile, others, "copy.Html", true, kNobody, 0, 01777},
        {r, 0644, kIdYes, Saved, ask, "", false, 0, 0, 01777},
        {r, 0444, kIdYes, ReadOnly, readOnly, "", false, 0, 0, 01777},
        // A sticky folder that is not world-writable binds root only by the usual rules.
        {r, 0664, kIdYes, Saved, ask, "", false, kNobody, 0, 01775},
        // Links: the file they lead to is the one checked and replaced.
        {r, 0444, kIdYes, ReadOnly, readOnly, real},
        {r, 0644, kIdYes, Saved, ask, real},
        {r, 0, kIdYes, Saved, ask, real},
        {r, 0, kIdYes, Failed, {kAsk, kFailed}, r},
        // Another user's link in a shared folder is not followed.
        {r, 0644, kIdYes, Failed, {kAsk, kFailed}, real, false, kNobody, 0, 01777},
        {r, 0644, kIdYes, Saved, ask, "copy.Html", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        if (geteuid() != 0 && (c.owner != 0 || c.user != 0)) {
            continue;  // other users' files need root
        }
        Save(c);
    }
}

TEST_F(ReportFileTest, WriteFailuresKeepTheOldReportAndOnlyAFullDiskSaysSo) {
    const std::string target = (folder / "Result.Html").string();
    const std::function<bool()> fileSizeLimit = [] {
        return setrlimit(RLIMIT_FSIZE, std::array{rlimit{4096, 4096}}.data()) == 0;
    };
    // A tiny file system of our own.
    const std::function<bool()> smallDisk = [&] {
        return unshare(CLONE_NEWNS) == 0 &&
               mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=32k") == 0;
    };
    const std::string diskFull = "在存取 " + target + " 时磁盘已满。";
    const struct {
        std::function<bool()> setUp;
        SaveOutcome outcome;
        std::string text;
        std::string secondName = "";  // written in place, through its hard link
    } cases[] = {
        {fileSizeLimit, SaveOutcome::Failed, kFailed},
        {smallDisk, SaveOutcome::DiskFull, diskFull},
        {fileSizeLimit, SaveOutcome::Failed, kFailed, "copy.Html"},
        {smallDisk, SaveOutcome::DiskFull, diskFull, "copy.Html"},
    };
    std::signal(SIGXFSZ, SIG_IGN);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + c.secondName);
        // In a child, so that the limit and the mount do not reach this process.
        const int status = InChild(c.setUp, [&] {
            Save({"Result.Html",
                  0644,
                  kIdYes,
                  c.outcome,
                  {kAsk, c.text},
                  c.secondName,
                  !c.secondName.empty()});
        });
        if (status == 77) {
            GTEST_SKIP() << "no private mount namespace here (needs root)";
        }
        EXPECT_EQ(status, 0);
    }
}

// A name that is, or leads through a link to, a character device (made here as the null device
// is), a FIFO or a socket is refused without a question, and the node stays what it was.
TEST_F(ReportFileTest, NeverReplacesADeviceAFifoOrASocket) {
    const fs::path node = folder / "node", link = folder / "r.html";
    const std::function<bool()> makers[] = {
        [&] { return mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; },
        [&] { return mkfifo(node.c_str(), 0666) == 0; },
        [&] {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            node.string().copy(address.sun_path, sizeof address.sun_path - 1);
            const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            close(fd);
            return bound;
        },
    };
    for (const auto& make : makers) {
        for (const fs::path& name : {node, link}) {
            SCOPED_TRACE(name.string() + " " + std::to_string(&make - makers));
            fs::remove(node);
            fs::remove(link);
            if (!make()) {
                EXPECT_EQ(errno, EPERM);  // only a device node needs root
                continue;
            }
            fs::create_symlink(node.filename(), link);
            const fs::file_type type = fs::symlink_status(node).type();
            RecordingMessageBox messages;
            messages.answer = kIdYes;
            EXPECT_EQ(SaveHtmlReport(name, kRows, kTime, messages), SaveOutcome::Failed);
            EXPECT_EQ(messages.texts, std::vector<std::string>{kFailed});
            EXPECT_FALSE(ReplaceFileContents(name, "report").Ok());
            EXPECT_EQ(fs::symlink_status(node).type(), type);
            EXPECT_TRUE(fs::is_symlink(link));
            EXPECT_EQ(Entries(), (std::set<std::string>{"node", "r.html"}));
        }
    }
}

// Another user swaps a FIFO in for a report with a second hard link (written in place) over and
// over while root saves: no save may block on the FIFO or write into it. The saves run in a child
// that is killed if it hangs.
TEST_F(ReportFileTest, AFifoSwappedInNeverBlocksTheSave) {
    const fs::path report = folder / "Result.Html", copy = folder / "copy.Html",
                   trap = folder / "trap";
    const std::string full = BuildHtmlReport(kRows, kTime);
    const auto hangsUp = [] { return alarm(120), true; };
    const int status = InChild(hangsUp, [&] {
        for (int round = 0; round < 200 && !HasFailure(); ++round) {
            fs::remove(report);
            fs::remove(copy);
            fs::remove(trap);
            std::ofstream(report) << "the report saved before";
            fs::create_hard_link(report, copy);
            ASSERT_EQ(mkfifo(trap.c_str(), 0666), 0);
            std::atomic<bool> stop = false;
            std::thread swapper([&] {
                while (!stop) {
                    renameat2(AT_FDCWD, report.c_str(), AT_FDCWD, trap.c_str(), RENAME_EXCHANGE);
                }
            });
            RecordingMessageBox messages;
            messages.answer = kIdYes;
            const SaveOutcome outcome = SaveHtmlReport(report, kRows, kTime, messages);
            stop = true;
            swapper.join();
            EXPECT_NE(outcome, SaveOutcome::DiskFull);
            for (const fs::path& name : {report, copy, trap}) {
                if (fs::is_regular_file(fs::symlink_status(name))) {
                    std::ifstream in(name, std::ios::binary);
                    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
                    EXPECT_TRUE(bytes == "the report saved before" || bytes == full) << name;
                }
            }
        }
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace talvik::test
