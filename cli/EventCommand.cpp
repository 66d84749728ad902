// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/EventCommand.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "cli/Language.h"
#include "cli/Options.h"

extern char** environ;

namespace talvik::cli {

using Clock = std::chrono::steady_clock;

bool SplitWords(std::string_view text, std::vector<std::string>& words, std::string& error) {
    words.clear();
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote == '\'') {
            if (c == '\'') {
                quote = 0;
            } else {
                word += c;
            }
        } else if (quote == '"') {
            if (c == '"') {
                quote = 0;
            } else if (c == '\\' && i + 1 < text.size() &&
                       (text[i + 1] == '"' || text[i + 1] == '\\')) {
                word += text[++i];
            } else {
                word += c;
            }
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
        } else {
            inWord = true;
            if (c == '\'' || c == '"') {
                quote = c;
            } else if (c == '\\' && i + 1 < text.size()) {
                word += text[++i];
            } else {
                word += c;
            }
        }
    }
    if (quote != 0) {
        error = Tr("--exec: a quote is not closed");
        return false;
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    if (words.empty()) {
        error = Tr("--exec needs a command");
        return false;
    }
    return true;
}

EventCommand::EventCommand(std::vector<std::string> words,
                           std::function<void(const std::string&)> report,
                           std::chrono::milliseconds limit)
    : words_(std::move(words)), report_(std::move(report)), limit_(limit) {
    thread_ = std::thread([this] { Loop(); });
}

EventCommand::~EventCommand() {
    Finish(std::chrono::milliseconds(0));
}

void EventCommand::Push(std::string json) {
    const std::lock_guard lock(mutex_);
    if (finishing_) {
        return;
    }
    if (queue_.size() >= kQueued) {
        ++dropped_;
        return;
    }
    queue_.push_back(std::move(json));
    wake_.notify_one();
}

void EventCommand::Finish(std::chrono::milliseconds grace) {
    {
        const std::lock_guard lock(mutex_);
        if (!thread_.joinable()) {
            return;
        }
        finishing_ = true;
        deadline_ = Clock::now() + grace;
        wake_.notify_one();
    }
    thread_.join();
    if (dropped_ > 0) {
        report_(Format(Tr("--exec was not run for %zu events: too many came at once, or the "
                          "watch ended"),
                       dropped_));
    }
}

void EventCommand::Loop() {
    // The command's input may close before it reads: that is its business, not a signal here.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    for (;;) {
        std::string json;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return finishing_ || !queue_.empty(); });
            // Those still waiting run while the grace lasts; past it they are counted.
            if (finishing_ && Clock::now() >= deadline_) {
                dropped_ += queue_.size();
                queue_.clear();
            }
            if (queue_.empty()) {
                return;
            }
            json = std::move(queue_.front());
            queue_.pop_front();
        }
        RunOne(json);
    }
}

void EventCommand::RunOne(const std::string& json) {
    const std::string shown = PrintableText(words_.front());
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        report_(
            Format(Tr("--exec: %s could not be run: %s"), shown.c_str(), ErrorText(errno).c_str()));
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
    // Its output must not mix into the events on standard output.
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // A group of its own, so that past the limit its children stop with it.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    std::vector<char*> argv;
    for (std::string& word : words_) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[0]);
    if (spawned != 0) {
        close(fds[1]);
        report_(Format(Tr("--exec: %s could not be run: %s"), shown.c_str(),
                       ErrorText(spawned).c_str()));
        return;
    }
    // An event is far smaller than a pipe's buffer: this never waits for the command.
    const std::string line = json + "\n";
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    (void)!write(fds[1], line.data(), line.size());
    close(fds[1]);

    const auto limit = Clock::now() + limit_;
    int status = 0;
    bool stopped = false;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            break;
        }
        Clock::time_point until;
        {
            const std::lock_guard lock(mutex_);
            until = std::min(limit, deadline_);
        }
        if (Clock::now() >= until) {
            stopped = true;
            kill(-pid, SIGTERM);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (stopped) {
        report_(Format(Tr("--exec: %s was stopped: it ran longer than %lld s"), shown.c_str(),
                       static_cast<long long>(
                           std::chrono::duration_cast<std::chrono::seconds>(limit_).count())));
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        report_(Format(Tr("--exec: %s failed with status %d"), shown.c_str(), WEXITSTATUS(status)));
    } else if (WIFSIGNALED(status)) {
        report_(Format(Tr("--exec: %s ended by signal %d"), shown.c_str(), WTERMSIG(status)));
    }
}

}  // namespace talvik::cli
