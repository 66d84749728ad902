// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/HelperArpWire.h"

#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <future>

#include "arp/HelperProcess.h"
#include "arp/HelperProtocol.h"
#include "arp/PacketArpWire.h"
#include "netlink/LinkInterfaces.h"

namespace talvik {
namespace {

using namespace std::chrono_literals;

// The helper greets as soon as it holds its socket, and opens a wire at once.
constexpr auto kStartTime = 3s;
// An ask waits for the link's ceiling at most a moment; a helper this late has stalled.
constexpr auto kAskPatience = 3s;

int GreetingError(std::uint32_t status) {
    switch (status) {
        case kNoError:
            return 0;
        case kErrorNotSupported:
            return EPERM;
        case kErrorAccessDenied:
            return EACCES;
        default:
            return EIO;
    }
}

// Reads the helper's greeting; 0, or why it cannot serve.
int AwaitGreeting(int channel, std::chrono::steady_clock::time_point deadline) {
    std::array<std::uint8_t, kHelperReplySize> bytes;
    if (!ReadBefore(channel, bytes, deadline)) {
        return EIO;
    }
    const auto hello = DecodeHelperReply(bytes);
    return hello && hello->id == 0 ? GreetingError(hello->status) : EIO;
}

}  // namespace

std::unique_ptr<HelperArpWire> HelperArpWire::Open(const std::string& path, const std::string& name,
                                                   int& error, bool quiet) {
    const unsigned index = ::if_nametoindex(name.c_str());
    if (index == 0) {
        error = ENODEV;
        return nullptr;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        error = errno;
        return nullptr;
    }
    std::unique_ptr<HelperArpWire> wire(
        new HelperArpWire(UniqueFd(ends[0]), name, static_cast<int>(index)));
    std::promise<int> opened;
    std::future<int> result = opened.get_future();
    try {
        // The helper ends with the thread that started it: the reader, which lives as long as
        // the wire, starts it.
        wire->reader_ = std::jthread(
            [raw = wire.get(), theirs = UniqueFd(ends[1]), path, quiet, &opened]() mutable {
                raw->child_ = SpawnHelper(path, theirs, {"--wire"}, quiet);
                const int status = raw->child_ > 0 ? raw->Start() : EIO;
                opened.set_value(status);
                if (status == 0) {
                    raw->Read();
                }
            });
    } catch (const std::system_error&) {
        error = EAGAIN;
        return nullptr;
    }
    error = result.get();
    if (error != 0) {
        return nullptr;  // the destructor closes the channel and reaps the helper
    }
    if (const auto links = ReadLinkInterfaces()) {
        for (const LinkInterface& link : *links) {
            if (link.index == wire->index_ && link.canArp) {
                wire->address_ = link.address;
                break;
            }
        }
    }
    return wire;
}

HelperArpWire::HelperArpWire(UniqueFd channel, std::string name, int index)
    : channel_(std::move(channel)), name_(std::move(name)), index_(index) {}

HelperArpWire::~HelperArpWire() {
    // Wakes the reader, and tells the helper to finish.
    ::shutdown(channel_.Get(), SHUT_RDWR);
    if (reader_.joinable()) {
        reader_.join();
    }
    ReapHelper(child_.exchange(-1));
}

int HelperArpWire::Start() {
    const auto deadline = std::chrono::steady_clock::now() + kStartTime;
    if (const int error = AwaitGreeting(channel_.Get(), deadline); error != 0) {
        return error;
    }
    const auto request =
        EncodeHelperRequest(HelperRequest{kHelperWireOpen, static_cast<std::uint32_t>(index_)});
    std::array<std::uint8_t, kHelperReplySize> bytes;
    if (!WriteFully(channel_.Get(), request.data(), request.size()) ||
        !ReadBefore(channel_.Get(), bytes, deadline)) {
        return EIO;
    }
    const auto reply = DecodeHelperReply(bytes);
    if (!reply || reply->id != static_cast<std::uint32_t>(index_)) {
        return EIO;
    }
    mac_ = reply->mac;
    return static_cast<int>(reply->status);
}

void HelperArpWire::Read() {
    std::array<std::uint8_t, kWireRecordSize> bytes;
    int end = EPIPE;
    while (ReadFully(channel_.Get(), bytes.data(), bytes.size())) {
        const auto record = DecodeWireRecord(bytes);
        if (!record) {
            break;  // a helper that speaks nonsense is as good as gone
        }
        if (record->kind == kWireEnded) {
            end = record->value != 0 ? static_cast<int>(record->value) : EPIPE;
            break;
        }
        const std::lock_guard lock(mutex_);
        if (record->kind == kWireAsked) {
            asked_.push_back(static_cast<int>(record->value));
        } else {
            lost_ += record->value;
            if (frames_.size() >= kMostKept) {
                frames_.pop_front();
                ++lost_;
            }
            frames_.push_back(record->frame);
        }
        changed_.notify_all();
    }
    const std::lock_guard lock(mutex_);
    ended_ = end;
    changed_.notify_all();
}

int HelperArpWire::Ask(std::uint32_t target, const std::array<std::uint8_t, 6>* to) {
    const std::lock_guard asking(askMutex_);
    HelperRequest request{kHelperWireAsk, static_cast<std::uint32_t>(index_), target};
    if (to) {
        request.mac = *to;
        request.unicast = true;
    }
    {
        const std::lock_guard lock(mutex_);
        if (ended_ != 0) {
            return ended_;
        }
    }
    const auto bytes = EncodeHelperRequest(request);
    if (!WriteFully(channel_.Get(), bytes.data(), bytes.size())) {
        return EPIPE;
    }
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, kAskPatience, [&] { return !asked_.empty() || ended_ != 0; })) {
        // Its answer, were it to come now, would be taken for the next ask's: the helper is
        // given up, and the owner starts another.
        lock.unlock();
        ::shutdown(channel_.Get(), SHUT_RDWR);
        return EPIPE;
    }
    if (asked_.empty()) {
        return ended_;
    }
    const int result = asked_.front();
    asked_.pop_front();
    return result;
}

int HelperArpWire::Hear(std::vector<HeardArp>& frames, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return !frames_.empty() || ended_ != 0 || woken_; });
    woken_ = false;
    if (frames_.empty()) {
        return ended_;
    }
    frames.insert(frames.end(), frames_.begin(), frames_.end());
    frames_.clear();
    return 0;
}

void HelperArpWire::Wake() {
    const std::lock_guard lock(mutex_);
    woken_ = true;
    changed_.notify_all();
}

std::unique_ptr<IArpWire> HelperArpWires::Open(const std::string& name, std::string& error) {
    int why = 0;
    auto wire = HelperArpWire::Open(path_, name, why, quiet_);
    if (!wire) {
        error = WireOpenError(name, why);
    }
    return wire;
}

bool HelperArpWires::Serves(const std::string& path) {
    if (::access(path.c_str(), X_OK) != 0) {
        return false;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return false;
    }
    const UniqueFd ours(ends[0]);
    UniqueFd theirs(ends[1]);
    const pid_t child = SpawnHelper(path, theirs, {"--wire"}, true);
    const bool serves =
        child > 0 && AwaitGreeting(ours.Get(), std::chrono::steady_clock::now() + kStartTime) == 0;
    ::shutdown(ours.Get(), SHUT_RDWR);
    ReapHelper(child);
    return serves;
}

}  // namespace talvik
