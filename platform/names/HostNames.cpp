// SPDX-License-Identifier: GPL-3.0-or-later
#include "names/HostNames.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <thread>
#include <utility>

namespace talvik {

namespace {

bool IsBidiControl(char32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

bool BreaksOrControls(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// The character at `at` and its length in bytes; length 0 for a byte that starts none.
std::pair<char32_t, std::size_t> DecodeUtf8(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char first = byte(0);
    if (first < 0x80) {
        return {first, 1};
    }
    const std::size_t length = first >= 0xF0 && first <= 0xF4   ? 4
                               : first >= 0xE0 && first <= 0xEF ? 3
                               : first >= 0xC2 && first <= 0xDF ? 2
                                                                : 0;
    if (length == 0 || at + length > text.size()) {
        return {0, 0};
    }
    char32_t c = first & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return {0, 0};
        }
        c = (c << 6) | (byte(i) & 0x3F);
    }
    const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return {0, 0};
    }
    return {c, length};
}

}  // namespace

std::optional<std::string> SafeHostName(std::string_view name) {
    std::string safe;
    for (std::size_t at = 0; at < name.size();) {
        const auto [c, length] = DecodeUtf8(name, at);
        if (length == 0) {
            ++at;
            continue;
        }
        const std::string_view piece =
            BreaksOrControls(c) ? std::string_view(" ") : name.substr(at, length);
        at += length;
        if (IsBidiControl(c)) {
            continue;
        }
        if (safe.size() + piece.size() > kLongestHostName) {
            break;
        }
        safe += piece;
    }
    if (safe.find_first_not_of(' ') == std::string::npos) {
        return std::nullopt;
    }
    return safe;
}

std::optional<std::string> ReverseLookupNames::NameOf(std::uint32_t address, std::stop_token stop) {
    if (stop.stop_requested()) {
        return std::nullopt;
    }
    sockaddr_in host{};
    host.sin_family = AF_INET;
    host.sin_addr.s_addr = htonl(address);
    char name[NI_MAXHOST] = {};
    // Without NI_NAMEREQD the resolver would hand back the dotted address as the "name".
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&host), sizeof host, name, sizeof name,
                    nullptr, 0, NI_NAMEREQD) != 0 ||
        name[0] == '\0') {
        return std::nullopt;
    }
    return std::string(name);
}

std::optional<std::string> FirstHostName::NameOf(std::uint32_t address, std::stop_token stop) {
    // Each source runs on a thread of its own that owns what it touches: one that hangs is left
    // behind, told to stop.
    struct Asked {
        std::mutex mutex;
        std::condition_variable_any changed;
        // Per source: nothing while it is asked, then its name made safe, or no name.
        std::vector<std::optional<std::optional<std::string>>> answers;
        std::stop_source cut;
        int changes = 0;
    };
    auto asked = std::make_shared<Asked>();
    asked->answers.resize(sources_.size());
    const std::stop_callback forward(stop, [asked] { asked->cut.request_stop(); });
    const auto start = std::chrono::steady_clock::now();
    const auto giveUp = start + patience_;
    auto nextStart = start;
    std::size_t started = 0;
    std::unique_lock lock(asked->mutex);
    for (;;) {
        // The first source still asked, or with a name, decides; one without a name passes on.
        std::optional<std::string> best;
        bool decided = true;
        for (const auto& answer : asked->answers) {
            if (answer && *answer) {
                best = *answer;
                break;
            }
            decided = decided && answer.has_value();
        }
        const auto now = std::chrono::steady_clock::now();
        if ((best && decided) || (started == sources_.size() && decided) || now >= giveUp ||
            stop.stop_requested()) {
            asked->cut.request_stop();
            return stop.stop_requested() ? std::nullopt : best;
        }
        if (started < sources_.size() &&
            (now >= nextStart || (started > 0 && asked->answers[started - 1]))) {
            std::thread([asked, source = sources_[started], index = started, address] {
                std::optional<std::string> name;
                try {
                    if (auto found = source->NameOf(address, asked->cut.get_token())) {
                        name = SafeHostName(*found);
                    }
                } catch (...) {
                }
                const std::lock_guard done(asked->mutex);
                asked->answers[index] = std::move(name);
                ++asked->changes;
                asked->changed.notify_all();
            }).detach();
            ++started;
            nextStart = now + headStart_;
            continue;
        }
        const auto until = started < sources_.size() ? std::min(nextStart, giveUp) : giveUp;
        const int seen = asked->changes;
        asked->changed.wait_until(lock, asked->cut.get_token(), until,
                                  [&] { return asked->changes != seen; });
    }
}

// What the lookup threads share with the object that started them; the last of them to let
// go of it frees it.
struct HostNameLookups::Shared {
    std::shared_ptr<IHostNames> names;
    std::size_t limit = 1;
    std::mutex mutex;
    std::condition_variable_any wake;
    std::deque<std::uint32_t> queue;
    std::size_t idle = 0;
    std::vector<std::stop_source> stops;
    // Held while `done` runs, so that the destructor never returns in the middle of one.
    std::mutex doneMutex;
    Done done;
};

HostNameLookups::HostNameLookups(std::shared_ptr<IHostNames> names, int threads, Done done)
    : shared_(std::make_shared<Shared>()) {
    shared_->names = std::move(names);
    shared_->limit = static_cast<std::size_t>(std::max(threads, 1));
    shared_->done = std::move(done);
}

HostNameLookups::~HostNameLookups() {
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->queue.clear();
        for (auto& stop : shared_->stops) {
            stop.request_stop();
        }
    }
    // What `done` holds belongs to the caller and goes here, not on a lookup thread later.
    Done done;
    {
        const std::lock_guard lock(shared_->doneMutex);
        done = std::move(shared_->done);
        shared_->done = nullptr;
    }
}

void HostNameLookups::Ask(std::uint32_t address) {
    const std::lock_guard lock(shared_->mutex);
    if (std::find(shared_->queue.begin(), shared_->queue.end(), address) != shared_->queue.end()) {
        return;
    }
    shared_->queue.push_back(address);
    if (shared_->idle == 0 && shared_->stops.size() < shared_->limit) {
        std::stop_source stop;
        std::thread([shared = shared_, token = stop.get_token()] {
            Serve(shared, token);
        }).detach();
        shared_->stops.push_back(std::move(stop));
    } else {
        shared_->wake.notify_one();
    }
}

void HostNameLookups::Cancel() {
    const std::lock_guard lock(shared_->mutex);
    shared_->queue.clear();
}

void HostNameLookups::Serve(const std::shared_ptr<Shared>& shared, std::stop_token stop) {
    std::unique_lock lock(shared->mutex);
    while (!stop.stop_requested()) {
        ++shared->idle;
        const bool work = shared->wake.wait(lock, stop, [&] { return !shared->queue.empty(); });
        --shared->idle;
        if (!work) {
            break;
        }
        const std::uint32_t address = shared->queue.front();
        shared->queue.pop_front();
        lock.unlock();
        auto name = shared->names->NameOf(address, stop);
        {
            const std::lock_guard doneLock(shared->doneMutex);
            if (!stop.stop_requested() && shared->done) {
                shared->done(address, std::move(name));
            }
        }
        lock.lock();
    }
}

}  // namespace talvik
