// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/LabHarness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

extern char** environ;

namespace talvik::test {

namespace fs = std::filesystem;

namespace {

pid_t Spawn(const std::vector<std::string>& argv, int stdoutFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int WaitExit(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The exit code (-1 when it could not run or died of a signal) and standard output of argv.
int RunProcess(const std::vector<std::string>& argv, std::string* out = nullptr) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t pid = Spawn(argv, fds[1]);
    close(fds[1]);
    char buffer[4096];
    ssize_t n;
    while (pid > 0 &&
           ((n = read(fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))) {
        if (out != nullptr && n > 0) {
            out->append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fds[0]);
    return pid > 0 ? WaitExit(pid) : -1;
}

fs::path MakeTempDir(const char* prefix) {
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    return mkdtemp(pattern.data()) == nullptr ? fs::path() : fs::path(pattern);
}

// Copies of the programs that nobody can reach whatever the build tree's permissions; the
// helper's copy alone gets cap_net_raw.
struct ProgramCopies {
    fs::path dir = MakeTempDir("tvk-l-bin.");
    bool ready = false;
    bool helperReady = false;

    ProgramCopies() {
        std::error_code error;
        fs::permissions(dir,
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec,
                        error);
        ready =
            !dir.empty() && !error && fs::copy_file(TALVIK_LAB_BENCH, dir / "talvik-bench", error);
        helperReady = ready && fs::exists(TALVIK_LAB_HELPER) &&
                      fs::copy_file(TALVIK_LAB_HELPER, dir / "talvik-arp", error) &&
                      RunProcess({"setcap", "cap_net_raw+ep", (dir / "talvik-arp").string()}) == 0;
    }
    ~ProgramCopies() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};

ProgramCopies& Copies() {
    static ProgramCopies copies;
    return copies;
}

// A test process that was killed (a time-out) leaves its lab behind; its name holds its pid,
// so labs of processes that no longer exist are removed before a new one is built.
void RemoveLabsOfDeadTests() {
    std::string list;
    RunProcess({"ip", "netns", "list"}, &list);
    const std::regex labName("^(tvk-l-([0-9]+)[a-z])[sg]\\b");
    std::istringstream lines(list);
    std::string line;
    for (std::smatch match; std::getline(lines, line);) {
        if (std::regex_search(line, match, labName) && !fs::exists("/proc/" + match[2].str())) {
            RunProcess({TALVIK_LAB_SH, "down", match[1].str()});
        }
    }
}

}  // namespace

const char* SenderName(SenderKind kind) {
    return std::array{"packet", "helper", "neighbour"}.at(static_cast<std::size_t>(kind));
}

bool LabAvailable(SenderKind kind, std::string& why) {
    if (geteuid() != 0) {
        why = "the lab needs root";
        return false;
    }
    for (const char* tool : {"ip", "python3", "setpriv", "setcap"}) {
        if (RunProcess({"sh", "-c", std::string("command -v ") + tool}) != 0) {
            why = std::string(tool) + " is missing";
            return false;
        }
    }
    if (!Copies().ready) {
        why = "could not copy talvik-bench to a temporary folder";
    } else if (kind == SenderKind::Helper && !Copies().helperReady) {
        why = "talvik-arp was not built or cannot hold cap_net_raw here";
    }
    return why.empty();
}

Lab::Lab(const std::string& tag, bool gateway, const std::vector<std::string>& names) {
    RemoveLabsOfDeadTests();
    // At most 14 characters, as lab.sh wants; the full pid (up to 7 digits) tells whose it is.
    name_ = "tvk-l-" + std::to_string(getpid()) + tag.substr(0, 1);
    std::vector<std::string> argv{TALVIK_LAB_SH, "up", name_};
    if (gateway) {
        argv.emplace_back("--gateway");
    }
    for (const auto& entry : names) {
        argv.insert(argv.end(), {"--name", entry});
    }
    up_ = RunProcess(argv) == 0;
}

Lab::~Lab() {
    RunProcess({TALVIK_LAB_SH, "down", name_});
}

Later::Later(int afterMs, const std::string& command)
    : pid_(Spawn({"sh", "-c", "sleep " + std::to_string(afterMs / 1000.0) + "; " + command})) {}

Later::~Later() {
    if (pid_ > 0) {
        WaitExit(pid_);
    }
}

Responder::Responder(const Lab& lab, const std::string& hostsJson, int seed) {
    dir_ = MakeTempDir("tvk-l-resp.").string();
    std::ofstream(dir_ + "/config.json")
        << "{\"interface\": \"" << lab.Name() << "b\", \"seed\": " << seed
        << ", \"hosts\": " << hostsJson << "}\n";
    pid_ = Spawn({TALVIK_LAB_SH, "seg", lab.Name(), "python3", TALVIK_LAB_RESPONDER, "--config",
                  dir_ + "/config.json", "--count-file", dir_ + "/counts.json", "--ready-file",
                  dir_ + "/ready", "--duration", "120"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pid_ > 0 && !fs::exists(dir_ + "/ready")) {
        if (std::chrono::steady_clock::now() > deadline || waitpid(pid_, nullptr, WNOHANG) != 0) {
            Stop();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Responder::~Responder() {
    Stop();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

LinkCounts Responder::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        WaitExit(pid_);
        pid_ = -1;
    }
    std::stringstream text;
    text << std::ifstream(dir_ + "/counts.json").rdbuf();
    const std::string json = text.str();
    LinkCounts counts;
    std::smatch match;
    if (std::regex_search(json, match, std::regex("\"frames_in\": (\\d+)"))) {
        counts.framesIn = std::stol(match[1]);
    }
    // Read by hand: a regular expression over thousands of requests overflows the stack.
    const std::string key = "\"request_sequence\": [";
    if (const auto open = json.find(key); open != std::string::npos) {
        const auto close = json.find(']', open);
        std::istringstream items(json.substr(open + key.size(), close - open - key.size()));
        for (std::string item; std::getline(items, item, ',');) {
            const auto first = item.find('"');
            const auto last = item.rfind('"');
            if (first != std::string::npos && last > first) {
                counts.requestSequence.push_back(item.substr(first + 1, last - first - 1));
            }
        }
    }
    // [ms, "address", unicast] for each request.
    const std::string logKey = "\"request_log\": [";
    if (auto at = json.find(logKey); at != std::string::npos) {
        at += logKey.size();
        for (auto open = json.find('[', at); open != std::string::npos;
             open = json.find('[', open + 1)) {
            const auto close = json.find(']', open);
            if (close == std::string::npos) {
                break;
            }
            const std::string item = json.substr(open + 1, close - open - 1);
            const auto quote = item.find('"');
            const auto endQuote = item.rfind('"');
            if (quote == std::string::npos || endQuote <= quote) {
                break;
            }
            counts.requests.push_back(LinkCounts::Request{
                std::strtod(item.c_str(), nullptr), item.substr(quote + 1, endQuote - quote - 1),
                item.find("true", endQuote) != std::string::npos});
            if (json.compare(close + 1, 1, "]") == 0) {
                break;  // the end of the log
            }
        }
    }
    return counts;
}

std::string BenchResult::Value(const std::string& key) const {
    auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

long BenchResult::Number(const std::string& key) const {
    const std::string text = Value(key);
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    return end == text.c_str() ? -1 : value;
}

const BenchRow* BenchResult::Row(const std::string& text) const {
    for (const auto& row : rows) {
        if (row.text == text) {
            return &row;
        }
    }
    return nullptr;
}

BenchResult RunBench(const Lab& lab, SenderKind kind, const std::vector<std::string>& args,
                     const std::vector<std::string>& wrapper) {
    std::vector<std::string> argv{TALVIK_LAB_SH, "scan", lab.Name()};
    if (kind != SenderKind::Packet) {
        argv.insert(argv.end(), {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                 "--inh-caps=-all"});
    }
    argv.insert(argv.end(), wrapper.begin(), wrapper.end());
    argv.insert(argv.end(),
                {(Copies().dir / "talvik-bench").string(), "--sender", SenderName(kind), "--rows"});
    argv.insert(argv.end(), args.begin(), args.end());

    BenchResult result;
    result.exitCode = RunProcess(argv, &result.raw);
    std::istringstream lines(result.raw);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("scan ", 0) == 0) {
            BenchResult before = std::move(result);
            result = BenchResult{};
            result.exitCode = before.exitCode;
            result.raw = before.raw;
            result.earlier = std::move(before.earlier);
            before.earlier.clear();
            result.earlier.push_back(std::move(before));
        } else if (line.rfind("row ", 0) == 0) {
            std::istringstream fields(line.substr(4));
            BenchRow row;
            fields >> row.text >> row.status >> row.mac;
            for (auto* cell : {&row.status, &row.mac}) {
                *cell = *cell == "-" ? "" : *cell;
            }
            for (std::string other; fields >> other;) {
                row.otherMacs.push_back(other);
            }
            result.rows.push_back(row);
        } else if (line.rfind("outcome ", 0) == 0 && !result.rows.empty()) {
            // Follows its row's line.
            std::istringstream fields(line.substr(8));
            std::string text;
            fields >> text >> result.rows.back().outcome;
        } else if (line.rfind("message ", 0) == 0) {
            result.messages.push_back(line.substr(8));
        } else if (auto eq = line.find('='); eq != std::string::npos) {
            result.values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return result;
}

}  // namespace talvik::test
