// SPDX-License-Identifier: GPL-3.0-or-later
// The helper as a process: where it is looked for, how it is started and greeted, and how it
// is ended. What is said to it once it runs is in HelperArpSender.cpp.
#include "arp/HelperArpSender.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <future>

#include "arp/HelperProcess.h"
#include "arp/HelperProtocol.h"

namespace talvik {
namespace {

// What the helper may take beyond a probe's own wait before it counts as stalled.
constexpr std::chrono::milliseconds kStallGrace{500};

}  // namespace

void ReapHelper(pid_t child) {
    if (child <= 0) {
        return;
    }
    // The helper ends on its own once its input closes; one that does not is ended.
    for (int i = 0; i < 100; ++i) {
        const pid_t done = ::waitpid(child, nullptr, WNOHANG);
        if (done == child || (done < 0 && errno != EINTR)) {
            return;
        }
        ::usleep(10000);
    }
    ::kill(child, SIGKILL);
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

pid_t SpawnHelper(const std::string& path, UniqueFd& theirs, const std::vector<std::string>& args,
                  bool quiet) {
    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0) {
        return -1;
    }
    // dup2 leaves the copies open across exec; every other descriptor of ours is close-on-exec
    // or closed by the helper itself.
    ::posix_spawn_file_actions_adddup2(&actions, theirs.Get(), STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, theirs.Get(), STDOUT_FILENO);
    if (quiet) {
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    char* const envp[] = {nullptr};
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, path.c_str(), &actions, nullptr, argv.data(), envp);
    ::posix_spawn_file_actions_destroy(&actions);
    theirs.Reset();
    return spawned == 0 ? child : -1;
}

bool ReadBefore(int fd, std::span<std::uint8_t> bytes,
                std::chrono::steady_clock::time_point deadline) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) != 1) {
            if (errno == EINTR && left.count() > 0) {
                continue;
            }
            return false;
        }
        const ssize_t got = ::recv(fd, bytes.data() + done, bytes.size() - done, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

std::vector<std::string> HelperArpSender::HelperCandidates() {
    std::vector<std::string> candidates;
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        candidates.push_back((self.parent_path() / "talvik-arp").string());
        candidates.push_back(
            (self.parent_path() / TALVIK_HELPER_FROM_BINDIR).lexically_normal().string());
    }
    // An installed program finds the same helper both ways; it is tried once.
    if (std::find(candidates.begin(), candidates.end(), TALVIK_HELPER_INSTALL_PATH) ==
        candidates.end()) {
        candidates.emplace_back(TALVIK_HELPER_INSTALL_PATH);
    }
    return candidates;
}

std::unique_ptr<HelperArpSender> HelperArpSender::Start(const std::string& path,
                                                        const ArpSchedule& schedule,
                                                        std::chrono::milliseconds timeout,
                                                        std::uint32_t* why, bool quiet) {
    if (why) {
        *why = kErrorGenFailure;
    }
    if (!schedule.Valid() || ::access(path.c_str(), X_OK) != 0) {
        return nullptr;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return nullptr;
    }
    auto theirs = std::make_shared<UniqueFd>(ends[1]);
    const auto spawn = [path, theirs, quiet, scheduleText = schedule.ToText()]() -> pid_t {
        return SpawnHelper(path, *theirs, {"--schedule", scheduleText}, quiet);
    };
    // The helper takes up every probe at once (it has a thread for each worker the engine can
    // have) and answers it within its give-up time; a helper later than that by more than a
    // moment of scheduling has stalled, and no worker waits on it longer.
    return Begin(UniqueFd(ends[0]), spawn, timeout, schedule.giveUp + kStallGrace, why);
}

std::unique_ptr<HelperArpSender> HelperArpSender::Attach(UniqueFd channel,
                                                         std::chrono::milliseconds timeout,
                                                         std::chrono::milliseconds patience) {
    return Begin(std::move(channel), nullptr, timeout, patience, nullptr);
}

std::unique_ptr<HelperArpSender> HelperArpSender::Begin(UniqueFd channel,
                                                        std::function<pid_t()> spawn,
                                                        std::chrono::milliseconds timeout,
                                                        std::chrono::milliseconds patience,
                                                        std::uint32_t* why) {
    std::unique_ptr<HelperArpSender> sender(new HelperArpSender(std::move(channel), patience));
    std::promise<std::uint32_t> greeted;
    std::future<std::uint32_t> greeting = greeted.get_future();
    try {
        // The helper dies with the thread that started it (PR_SET_PDEATHSIG follows threads),
        // so the reader, which lives exactly as long as this sender, is the one to start it.
        sender->reader_ =
            std::jthread([raw = sender.get(), spawn = std::move(spawn), timeout, &greeted] {
                raw->child_ = spawn ? spawn() : -1;
                const std::uint32_t status =
                    !spawn || raw->child_ > 0 ? raw->AwaitGreeting(timeout) : kErrorGenFailure;
                greeted.set_value(status);
                if (status == kNoError) {
                    raw->Read();
                } else {
                    raw->MarkGone();
                }
            });
    } catch (const std::system_error&) {
        return nullptr;
    }
    const std::uint32_t status = greeting.get();
    if (why) {
        *why = status;
    }
    if (status != kNoError) {
        return nullptr;  // the destructor closes the channel and reaps the helper
    }
    return sender;
}

std::uint32_t HelperArpSender::AwaitGreeting(std::chrono::milliseconds timeout) {
    std::array<std::uint8_t, kHelperReplySize> bytes;
    if (!ReadBefore(channel_.Get(), bytes, std::chrono::steady_clock::now() + timeout)) {
        return kErrorGenFailure;
    }
    const auto hello = DecodeHelperReply(bytes);
    if (!hello || hello->id != 0) {
        return kErrorGenFailure;
    }
    return hello->status;
}

HelperArpSender::HelperArpSender(UniqueFd channel, std::chrono::milliseconds patience)
    : channel_(std::move(channel)), patience_(patience) {}

HelperArpSender::~HelperArpSender() {
    // Wakes the reader, and tells the helper to finish.
    ::shutdown(channel_.Get(), SHUT_RDWR);
    if (reader_.joinable()) {
        reader_.join();
    }
    ReapHelper(child_.exchange(-1));
}

}  // namespace talvik
