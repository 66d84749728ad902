// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a host on the segment is called, found without delaying anything else.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace talvik {

// One way to name an IPv4 host. Safe from several threads at once; may block for seconds, and
// should give up early once `stop` is requested.
class IHostNames {
public:
    virtual ~IHostNames() = default;
    // The name of the host at `address` (host byte order), or nothing.
    virtual std::optional<std::string> NameOf(std::uint32_t address, std::stop_token stop) = 0;
};

// The longest name DNS allows, in bytes.
inline constexpr std::size_t kLongestHostName = 253;

// A name from the network made fit to show and copy: every control character and every line or
// paragraph separator becomes a blank, bidirectional controls (which could reorder what the
// tooltip shows) and bytes that are not UTF-8 are dropped, and it is cut at a character
// boundary to the longest name DNS allows. Nothing when nothing is left.
std::optional<std::string> SafeHostName(std::string_view name);

// The system resolver's reverse lookup (hosts file, DNS), only where a name is on record.
class ReverseLookupNames final : public IHostNames {
public:
    std::optional<std::string> NameOf(std::uint32_t address, std::stop_token stop) override;
};

// Gives the name of the most preferred source (the first in `sources`) that has one, made safe.
// A source that keeps silent for `headStart` gets the next one asked beside it, so that slow
// sources do not add up; after `patience` the most preferred name found so far is taken.
class FirstHostName final : public IHostNames {
public:
    explicit FirstHostName(std::vector<std::shared_ptr<IHostNames>> sources,
                           std::chrono::milliseconds headStart = std::chrono::milliseconds(300),
                           std::chrono::milliseconds patience = std::chrono::milliseconds(1700))
        : sources_(std::move(sources)), headStart_(headStart), patience_(patience) {}
    std::optional<std::string> NameOf(std::uint32_t address, std::stop_token stop) override;

private:
    std::vector<std::shared_ptr<IHostNames>> sources_;
    std::chrono::milliseconds headStart_;
    std::chrono::milliseconds patience_;
};

// Runs lookups a few at a time on threads of its own, started as work arrives. `done` runs on
// one of those threads, once for each address asked, also when no name was found; it must not
// destroy this object.
class HostNameLookups final {
public:
    using Done = std::function<void(std::uint32_t address, std::optional<std::string> name)>;

    HostNameLookups(std::shared_ptr<IHostNames> names, int threads, Done done);
    // Drops the lookups not yet started and returns without waiting for the running ones: a
    // resolver may hang for many seconds. Their threads own what they still touch, and `done`
    // never runs once this returns.
    ~HostNameLookups();
    HostNameLookups(const HostNameLookups&) = delete;
    HostNameLookups& operator=(const HostNameLookups&) = delete;

    // Queues a lookup; an address already waiting is not queued twice.
    void Ask(std::uint32_t address);
    // Drops the lookups not yet started, as when the user clears the results; their `done`
    // never runs.
    void Cancel();

private:
    struct Shared;
    static void Serve(const std::shared_ptr<Shared>& shared, std::stop_token stop);

    std::shared_ptr<Shared> shared_;
};

}  // namespace talvik
