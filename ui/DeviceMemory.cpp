// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/DeviceMemory.h"

#include <charconv>

namespace talvik {

namespace {

// The store's "aa-bb-cc-dd-ee-ff" as the six bytes on the wire.
std::optional<std::array<std::uint8_t, 6>> MacBytes(const std::string& mac) {
    std::array<std::uint8_t, 6> bytes{};
    if (mac.size() != 17) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char* first = mac.data() + i * 3;
        const auto [end, error] = std::from_chars(first, first + 2, bytes[i], 16);
        if (error != std::errc() || end != first + 2) {
            return std::nullopt;
        }
    }
    return bytes;
}

}  // namespace

DeviceMemory::DeviceMemory(store::StoreLocation location, NetworkOfTarget networkOf,
                           std::shared_ptr<IUiPoster> poster, std::shared_ptr<IArpSender> sender)
    : location_(std::move(location)),
      networkOf_(std::move(networkOf)),
      poster_(std::move(poster)),
      sender_(std::move(sender)) {
    writer_.setMaxThreadCount(1);
    writer_.setExpiryTimeout(-1);
}

DeviceMemory::~DeviceMemory() {
    writer_.waitForDone();
}

bool DeviceMemory::IsOn() const {
    return store::DeviceStore::Exists(location_.path);
}

std::shared_ptr<store::DeviceStore> DeviceMemory::Store(store::StoreStatus& status) {
    const std::lock_guard lock(mutex_);
    if (store_ == nullptr) {
        store::DeviceStore::Opened opened = store::DeviceStore::Open(location_.path);
        status = opened.status;
        store_ = std::move(opened.store);
    }
    return store_;
}

store::StoreStatus DeviceMemory::TurnOn() {
    if (location_.path.empty()) {
        return location_.status;
    }
    writer_.waitForDone();
    store::DeviceStore::Opened made = store::DeviceStore::Create(location_.path);
    const std::lock_guard lock(mutex_);
    store_ = std::move(made.store);
    return made.status;
}

std::optional<long> DeviceMemory::CountDevices() {
    store::StoreStatus status;
    const auto opened = Store(status);
    return opened ? opened->CountDevices() : std::nullopt;
}

store::StoreStatus DeviceMemory::TurnOff() {
    writer_.waitForDone();
    {
        const std::lock_guard lock(mutex_);
        store_.reset();
        untold_.reset();
        lastNetwork_.reset();
    }
    return store::DeviceStore::Remove(location_.path);
}

void DeviceMemory::RecordScan(std::vector<store::ScanRow> rows, store::Seconds when,
                              std::function<void(const ScanRecorded&)> done) {
    writer_.start([this, rows = std::move(rows), when, done = std::move(done)] {
        ScanRecorded recorded;
        // The route and neighbour lookups behind the network's identity stay off the window's
        // thread as well.
        if (networkOf_) {
            recorded.network = networkOf_(rows);
        }
        if (recorded.network) {
            store::StoreStatus opening;
            if (const auto opened = Store(opening)) {
                recorded.write = opened->RecordScan(*recorded.network, rows, when);
                recorded.opening = opening;
                {
                    const std::lock_guard lock(mutex_);
                    if (untold_ && recorded.opening.Ok()) {
                        recorded.opening = *untold_;
                    }
                    untold_.reset();
                }
                if (recorded.write.status.Ok()) {
                    RememberDevices(*opened, *recorded.network);
                }
            } else {
                recorded.write.status = opening;
            }
            const std::lock_guard lock(mutex_);
            lastNetwork_ = recorded.network;
        }
        poster_->Post([done, recorded = std::move(recorded)] { done(recorded); });
    });
}

void DeviceMemory::RecordWatch(store::NetworkId network,
                               std::vector<store::DeviceStore::HeardClaim> heard,
                               std::vector<store::DeviceStore::KeptEvent> events,
                               std::function<void(const store::StoreStatus&)> done) {
    writer_.start([this, network = std::move(network), heard = std::move(heard),
                   events = std::move(events), done = std::move(done)] {
        store::StoreStatus status;
        if (const auto opened = Store(status)) {
            status = opened->RecordWatch(network, heard, events);
        }
        poster_->Post([done, status] { done(status); });
    });
}

void DeviceMemory::RememberDevices(store::DeviceStore& opened, const store::NetworkId& network) {
    if (sender_ == nullptr) {
        return;
    }
    const store::NetworkDevices known = opened.Devices(network);
    // Damage this read met was kept aside: told with the next scan, as at opening.
    if (known.status.problem == store::StoreProblem::Corrupt) {
        const std::lock_guard lock(mutex_);
        untold_ = known.status;
    }
    std::vector<KnownDevice> devices;
    for (const store::Device& device : known.devices) {
        if (const auto mac = MacBytes(device.mac); mac && device.address != 0) {
            devices.push_back({device.address, *mac});
        }
    }
    if (known.status.Ok() && !devices.empty()) {
        sender_->Remember(devices);
    }
}

void DeviceMemory::TellSender(std::uint32_t target) {
    if (sender_ == nullptr || !IsOn()) {
        return;
    }
    writer_.start([this, target] {
        const auto network = CurrentNetwork(target);
        store::StoreStatus opening;
        const auto opened = network ? Store(opening) : nullptr;
        if (opened) {
            RememberDevices(*opened, *network);
        }
        // What opening said (a damaged file kept aside) is told with the next scan's write.
        if (opened && !opening.Ok()) {
            const std::lock_guard lock(mutex_);
            untold_ = opening;
        }
    });
}

std::optional<store::NetworkId> DeviceMemory::CurrentNetwork(std::uint32_t target) {
    {
        const std::lock_guard lock(mutex_);
        if (lastNetwork_) {
            return lastNetwork_;
        }
    }
    const store::ScanRow row{target, {}, {}, {}};
    return networkOf_ ? networkOf_(std::span(&row, 1)) : std::nullopt;
}

store::NetworkDevices DeviceMemory::Devices(const store::NetworkId& network) {
    store::NetworkDevices devices;
    if (const auto opened = Store(devices.status)) {
        devices = opened->Devices(network);
    }
    return devices;
}

store::KnownNetworks DeviceMemory::Networks() {
    store::KnownNetworks known;
    if (const auto opened = Store(known.status)) {
        known = opened->Networks();
    }
    return known;
}

store::StoreStatus DeviceMemory::Rename(const store::NetworkId& network, const std::string& mac,
                                        const std::string& name) {
    store::StoreStatus status;
    const auto opened = Store(status);
    return opened ? opened->Rename(network, mac, name) : status;
}

store::StoreStatus DeviceMemory::ForgetDevice(const store::NetworkId& network,
                                              const std::string& mac) {
    store::StoreStatus status;
    const auto opened = Store(status);
    return opened ? opened->ForgetDevice(network, mac) : status;
}

store::StoreStatus DeviceMemory::ForgetNetwork(const store::NetworkId& network) {
    store::StoreStatus status;
    const auto opened = Store(status);
    return opened ? opened->ForgetNetwork(network) : status;
}

}  // namespace talvik
