// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A network lab of the test's own: builds the namespaces with lab.sh, plays the hosts with the
// ARP responder, runs talvik-bench in the scanner namespace (as root or as nobody) and reads
// back what it printed and what the responder saw on the link. The lab scans use all of it;
// the platform tests only the lab and the responder, with senders of their own.

#include <sys/types.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace talvik::test {

enum class SenderKind { Packet, Helper, Neighbour };
const char* SenderName(SenderKind kind);
inline void PrintTo(SenderKind kind, std::ostream* out) {
    *out << SenderName(kind);
}

// Whether the lab can run here for `kind`; `why` tells what is missing.
bool LabAvailable(SenderKind kind, std::string& why);

class Lab final {
public:
    // Named for the process and the first letter of `tag`, so one process has one lab per tag.
    // `names` ("host=203.0.113.N") are what the scanner namespace's hosts file holds.
    Lab(const std::string& tag, bool gateway, const std::vector<std::string>& names);
    ~Lab();
    bool Up() const { return up_; }
    const std::string& Name() const { return name_; }

private:
    std::string name_;
    bool up_ = false;
};

// Runs a shell command (as root, in the machine's namespace: `ip -n` reaches the lab's) after
// `afterMs`, alongside whatever the test does meanwhile; the destructor waits for it.
class Later final {
public:
    Later(int afterMs, const std::string& command);
    ~Later();

private:
    pid_t pid_ = -1;
};

// What the responder saw on the link while it ran.
struct LinkCounts {
    long framesIn = -1;
    std::vector<std::string> requestSequence;  // target address of each request, in order
    struct Request {
        double ms = 0;  // from the responder's start
        std::string target;
        bool unicast = false;
    };
    std::vector<Request> requests;  // the same requests, with when and how they came
};

class Responder final {
public:
    // `hostsJson` is the JSON array of hosts.
    Responder(const Lab& lab, const std::string& hostsJson, int seed);
    ~Responder();
    bool Running() const { return pid_ > 0; }
    LinkCounts Stop();  // framesIn stays -1 when no counts were written

private:
    std::string dir_;
    pid_t pid_ = -1;
};

// One line "row TEXT STATUS MAC" of talvik-bench, with "-" read back as empty.
struct BenchRow {
    std::string text, status, mac;
    std::vector<std::string> otherMacs;  // other hosts that answered for it, after `mac`
    std::string outcome;                 // "answered", "silent", "not-asked:link-down", ...
};

struct BenchResult {
    int exitCode = -1;
    std::map<std::string, std::string> values;  // key=value lines
    std::vector<std::string> messages;          // "text|caption|type"
    std::vector<BenchRow> rows;
    std::string raw;
    std::vector<BenchResult> earlier;  // with --scans: the scans before this, the last one

    std::string Value(const std::string& key) const;
    long Number(const std::string& key) const;  // -1 when absent
    const BenchRow* Row(const std::string& text) const;
};

// The packet sender runs as root, the helper and the kernel-neighbour sender as nobody (a copy
// of the helper holds cap_net_raw, as an installed one would).
// `wrapper` runs before the bench, as its user (e.g. prlimit with its options).
BenchResult RunBench(const Lab& lab, SenderKind kind, const std::vector<std::string>& args,
                     const std::vector<std::string>& wrapper = {});

}  // namespace talvik::test
