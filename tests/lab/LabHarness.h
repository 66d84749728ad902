#pragma once
// Runs scans in a network lab of the test's own: builds the namespaces, plays the hosts with the
// ARP responder, runs talvik-bench in the scanner namespace (as root or as nobody) and reads
// back what it printed and what the responder saw on the link.

#include <sys/types.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace talvik::lab {

struct ProcessResult {
    int exitCode = -1;  // -1 when the process could not run or died of a signal
    std::string out;
};

// Runs argv[0] (looked up in PATH) with the given arguments and collects its standard output.
ProcessResult RunProcess(const std::vector<std::string>& argv);

// Whether the lab can run here: root, and the tools it needs. `why` tells what is missing.
bool LabAvailable(std::string& why);

class Lab final {
public:
    // `tag` keeps the labs of one test process apart; the process id keeps test runs apart.
    // `names` ("host=203.0.113.N") are what the scanner namespace's hosts file holds.
    Lab(const std::string& tag, bool gateway, const std::vector<std::string>& names = {});
    ~Lab();
    Lab(const Lab&) = delete;
    Lab& operator=(const Lab&) = delete;

    bool Up() const { return up_; }
    const std::string& Name() const { return name_; }
    std::string SegmentInterface() const { return name_ + "b"; }
    std::string ScannerInterface() const { return name_ + "a"; }

private:
    std::string name_;
    bool up_ = false;
};

// What the responder counted on the link while it ran.
struct LinkCounts {
    long framesIn = -1;
    long arpRequests = -1;
    long repliesSent = -1;
    std::vector<std::string> requestSequence;  // target address of each request, in order
};

class Responder final {
public:
    // `hostsJson` is the JSON array of hosts; the interface is the lab's segment end.
    Responder(const Lab& lab, const std::string& hostsJson, int seed = 1);
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    bool Running() const { return pid_ > 0; }
    // Stops the responder and reads its counts; the counts stay -1 when none were written.
    LinkCounts Stop();

private:
    std::string dir_;
    pid_t pid_ = -1;
};

// One line "row ADDRESS STATUS MAC" of talvik-bench, with "-" read back as empty.
struct BenchRow {
    std::string status;
    std::string mac;
};

struct BenchResult {
    int exitCode = -1;
    std::map<std::string, std::string> values;  // key=value lines
    std::vector<std::string> messages;          // "text|caption|type"
    std::map<std::string, BenchRow> rows;       // by the row's text; the first such row
    std::vector<BenchRow> rowsInOrder;
    std::string raw;

    std::string Value(const std::string& key) const;
    long Number(const std::string& key) const;  // -1 when absent
};

// The sender kinds of the lab tests, and how talvik-bench runs for each.
enum class SenderKind { Packet, Helper, Neighbour };
const char* SenderName(SenderKind kind);
inline void PrintTo(SenderKind kind, std::ostream* out) {
    *out << SenderName(kind);
}

// Whether the copy of talvik-arp that the helper runs use holds cap_net_raw.
bool HelperAvailable();

// Runs talvik-bench in the lab's scanner namespace with `args`; the packet sender runs as root,
// the helper and the kernel-neighbour sender as nobody (the helper copy holds cap_net_raw).
BenchResult RunBench(const Lab& lab, SenderKind kind, const std::vector<std::string>& args);

}  // namespace talvik::lab
