#include "tests/lab/LabHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

extern char** environ;

namespace talvik::lab {

namespace fs = std::filesystem;

namespace {

std::vector<char*> ArgvOf(const std::vector<std::string>& argv) {
    std::vector<char*> result;
    for (const auto& arg : argv) {
        result.push_back(const_cast<char*>(arg.c_str()));
    }
    result.push_back(nullptr);
    return result;
}

pid_t Spawn(const std::vector<std::string>& argv, int stdoutFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    auto args = ArgvOf(argv);
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int WaitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

long JsonNumber(const std::string& json, const std::string& key) {
    const std::regex pattern("\"" + key + "\":\\s*(-?[0-9]+)");
    std::smatch match;
    if (std::regex_search(json, match, pattern)) {
        return std::stol(match[1]);
    }
    return -1;
}

fs::path MakeTempDir(const char* prefix) {
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    return pattern;
}

// Copies of the programs that nobody can reach whatever the build tree's permissions; the
// helper's copy alone gets cap_net_raw, as an installed helper would.
class ProgramCopies final {
public:
    ProgramCopies() {
        dir_ = MakeTempDir("tvk-l-bin.");
        if (dir_.empty()) {
            return;
        }
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        std::error_code error;
        fs::copy_file(TALVIK_LAB_BENCH, dir_ / "talvik-bench", error);
        if (!error && fs::exists(TALVIK_LAB_HELPER)) {
            fs::copy_file(TALVIK_LAB_HELPER, dir_ / "talvik-arp", error);
            if (!error) {
                helperReady_ =
                    RunProcess({"setcap", "cap_net_raw+ep", (dir_ / "talvik-arp").string()})
                        .exitCode == 0;
            }
        }
        ready_ = !error;
    }
    ~ProgramCopies() {
        std::error_code ignored;
        if (!dir_.empty()) {
            fs::remove_all(dir_, ignored);
        }
    }
    bool Ready() const { return ready_; }
    bool HelperReady() const { return helperReady_; }
    std::string Bench() const { return (dir_ / "talvik-bench").string(); }

private:
    fs::path dir_;
    bool ready_ = false;
    bool helperReady_ = false;
};

ProgramCopies& Copies() {
    static ProgramCopies copies;
    return copies;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv) {
    ProcessResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return result;
    }
    const pid_t pid = Spawn(argv, fds[1]);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return result;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) != 0) {
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        result.out.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    result.exitCode = WaitExit(pid);
    return result;
}

bool LabAvailable(std::string& why) {
    if (geteuid() != 0) {
        why = "the lab needs root";
        return false;
    }
    for (const char* tool : {"ip", "python3", "setpriv", "setcap"}) {
        if (RunProcess({"sh", "-c", std::string("command -v ") + tool}).exitCode != 0) {
            why = std::string(tool) + " is missing";
            return false;
        }
    }
    if (!Copies().Ready()) {
        why = "could not copy talvik-bench to a temporary folder";
        return false;
    }
    return true;
}

// A test process that was killed (a time-out) leaves its lab behind; its name holds its pid,
// so labs of processes that no longer exist are removed before a new one is built.
static void RemoveLabsOfDeadTests() {
    const auto list = RunProcess({"ip", "netns", "list"});
    const std::regex labName("^(tvk-l-([0-9]+)[a-z])[sg]\\b");
    std::istringstream lines(list.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::smatch match;
        if (std::regex_search(line, match, labName) && !fs::exists("/proc/" + match[2].str())) {
            RunProcess({TALVIK_LAB_SH, "down", match[1].str()});
        }
    }
}

Lab::Lab(const std::string& tag, bool gateway, const std::vector<std::string>& names) {
    RemoveLabsOfDeadTests();
    // At most 14 characters: the veth names add one more and the kernel allows 15; the full
    // pid (up to 7 digits) tells whose lab it is.
    name_ = "tvk-l-" + std::to_string(getpid()) + tag.substr(0, 1);
    std::vector<std::string> argv{TALVIK_LAB_SH, "up", name_};
    if (gateway) {
        argv.emplace_back("--gateway");
    }
    for (const auto& entry : names) {
        argv.emplace_back("--name");
        argv.push_back(entry);
    }
    up_ = RunProcess(argv).exitCode == 0;
}

Lab::~Lab() {
    RunProcess({TALVIK_LAB_SH, "down", name_});
}

Responder::Responder(const Lab& lab, const std::string& hostsJson, int seed) {
    dir_ = MakeTempDir("tvk-l-resp.").string();
    if (dir_.empty()) {
        return;
    }
    {
        std::ofstream config(dir_ + "/config.json");
        config << "{\"interface\": \"" << lab.SegmentInterface() << "\", \"seed\": " << seed
               << ", \"hosts\": " << hostsJson << "}\n";
    }
    pid_ = Spawn({TALVIK_LAB_SH, "seg", lab.Name(), "python3", TALVIK_LAB_RESPONDER, "--config",
                  dir_ + "/config.json", "--count-file", dir_ + "/counts.json", "--ready-file",
                  dir_ + "/ready", "--duration", "120"},
                 -1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pid_ > 0 && !fs::exists(dir_ + "/ready")) {
        if (std::chrono::steady_clock::now() > deadline || waitpid(pid_, nullptr, WNOHANG) != 0) {
            Stop();
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Responder::~Responder() {
    Stop();
    std::error_code ignored;
    if (!dir_.empty()) {
        fs::remove_all(dir_, ignored);
    }
}

LinkCounts Responder::Stop() {
    LinkCounts counts;
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        WaitExit(pid_);
        pid_ = -1;
    }
    const std::string json = ReadFile(dir_ + "/counts.json");
    if (!json.empty()) {
        counts.framesIn = JsonNumber(json, "frames_in");
        counts.arpRequests = JsonNumber(json, "arp_requests");
        counts.repliesSent = JsonNumber(json, "replies_sent");
        std::smatch list;
        if (std::regex_search(json, list, std::regex("\"request_sequence\":\\s*\\[([^\\]]*)\\]"))) {
            const std::string items = list[1];
            const std::regex item("\"([0-9.]+)\"");
            for (auto it = std::sregex_iterator(items.begin(), items.end(), item);
                 it != std::sregex_iterator(); ++it) {
                counts.requestSequence.push_back((*it)[1]);
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
    return text.empty() || end == text.c_str() ? -1 : value;
}

const char* SenderName(SenderKind kind) {
    switch (kind) {
        case SenderKind::Packet:
            return "packet";
        case SenderKind::Helper:
            return "helper";
        case SenderKind::Neighbour:
            return "neighbour";
    }
    return "?";
}

BenchResult RunBench(const Lab& lab, SenderKind kind, const std::vector<std::string>& args) {
    std::vector<std::string> argv{TALVIK_LAB_SH, "scan", lab.Name()};
    if (kind != SenderKind::Packet) {
        for (const char* arg : {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                "--inh-caps=-all"}) {
            argv.emplace_back(arg);
        }
    }
    argv.push_back(Copies().Bench());
    argv.emplace_back("--sender");
    argv.emplace_back(SenderName(kind));
    argv.emplace_back("--rows");
    argv.insert(argv.end(), args.begin(), args.end());

    BenchResult result;
    auto run = RunProcess(argv);
    result.exitCode = run.exitCode;
    result.raw = run.out;
    std::istringstream lines(run.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("row ", 0) == 0) {
            std::istringstream fields(line.substr(4));
            std::string address, status, mac;
            fields >> address >> status >> mac;
            const BenchRow row{status == "-" ? "" : status, mac == "-" ? "" : mac};
            result.rows.emplace(address, row);
            result.rowsInOrder.push_back(row);
        } else if (line.rfind("message ", 0) == 0) {
            result.messages.push_back(line.substr(8));
        } else if (auto eq = line.find('='); eq != std::string::npos) {
            result.values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return result;
}

bool HelperAvailable() {
    return Copies().HelperReady();
}

}  // namespace talvik::lab
