// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/HostNames.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

namespace talvik {

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
    for (const auto& source : sources_) {
        if (stop.stop_requested()) {
            break;
        }
        if (auto name = source->NameOf(address, stop)) {
            return name;
        }
    }
    return std::nullopt;
}

HostNameLookups::HostNameLookups(std::shared_ptr<IHostNames> names, int threads, Done done)
    : names_(std::move(names)),
      limit_(static_cast<std::size_t>(std::max(threads, 1))),
      done_(std::move(done)) {}

HostNameLookups::~HostNameLookups() {
    {
        const std::lock_guard lock(mutex_);
        queue_.clear();
    }
    // Every thread is told at once, so none starts another lookup while an earlier one is joined.
    for (auto& thread : threads_) {
        thread.request_stop();
    }
}

void HostNameLookups::Ask(std::uint32_t address) {
    const std::lock_guard lock(mutex_);
    if (std::find(queue_.begin(), queue_.end(), address) != queue_.end()) {
        return;
    }
    queue_.push_back(address);
    if (idle_ == 0 && threads_.size() < limit_) {
        threads_.emplace_back([this](std::stop_token stop) { Serve(stop); });
    } else {
        wake_.notify_one();
    }
}

void HostNameLookups::Cancel() {
    const std::lock_guard lock(mutex_);
    queue_.clear();
}

void HostNameLookups::Serve(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        ++idle_;
        const bool work = wake_.wait(lock, stop, [this] { return !queue_.empty(); });
        --idle_;
        if (!work) {
            break;
        }
        const std::uint32_t address = queue_.front();
        queue_.pop_front();
        lock.unlock();
        auto name = names_->NameOf(address, stop);
        if (!stop.stop_requested()) {
            done_(address, std::move(name));
        }
        lock.lock();
    }
}

}  // namespace talvik
