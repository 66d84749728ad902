// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The window's hold on the device store: the switch, the write after each scan on a thread of
// its own, and the user's renames and forgets. The store's rules and records are the store
// layer's; this only decides on which thread each call runs.

#include <QThreadPool>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "scan/Ports.h"
#include "store/DeviceStore.h"

namespace talvik {

// The network the rows of a scan were asked on, their answers included (the gateway's may tell
// it); nothing when they are on no connected subnet.
using NetworkOfTarget =
    std::function<std::optional<store::NetworkId>(std::span<const store::ScanRow> rows)>;

class DeviceMemory final {
public:
    struct ScanRecorded {
        std::optional<store::NetworkId> network;  // nothing: no target was on a known network
        store::ScanWrite write;
        // Not Ok while the write is: something to say on the way (a damaged file kept aside).
        store::StoreStatus opening;
    };

    // `sender` is told the devices known on a network, so it can ask them by their own MAC.
    DeviceMemory(store::StoreLocation location, NetworkOfTarget networkOf,
                 std::shared_ptr<IUiPoster> poster, std::shared_ptr<IArpSender> sender = {});
    // Lets a write in hand finish, so a scan's records are not lost when the window closes.
    ~DeviceMemory();

    DeviceMemory(const DeviceMemory&) = delete;
    DeviceMemory& operator=(const DeviceMemory&) = delete;

    // Whether memory is on: the store's file is there.
    bool IsOn() const;
    // Whether it could be turned on at all (a place for the store was found).
    bool HasPlace() const { return !location_.path.empty(); }
    const store::StoreLocation& Location() const { return location_; }

    // Makes the store; not Ok, and still off, when it could not be made.
    store::StoreStatus TurnOn();
    // The devices it would forget; nothing when the store cannot be read.
    std::optional<long> CountDevices();
    // Deletes the store, once the write in hand is done.
    store::StoreStatus TurnOff();

    // Writes one scan's rows off this thread; `done` gets what changed on the user-interface
    // thread, unless the window has gone by then.
    void RecordScan(std::vector<store::ScanRow> rows, store::Seconds when,
                    std::function<void(const ScanRecorded&)> done);

    // Writes what a watch heard and said off this thread; `done` gets the write's status on the
    // user-interface thread, unless the window has gone by then.
    void RecordWatch(store::NetworkId network, std::vector<store::DeviceStore::HeardClaim> heard,
                     std::vector<store::DeviceStore::KeptEvent> events,
                     std::function<void(const store::StoreStatus&)> done);

    // Tells the sender, off this thread, the devices known on the network of `target`, so the
    // next scan finds them in the sender already; nothing while memory is off or unreadable.
    void TellSender(std::uint32_t target);

    // The network of the latest scan written, else of `target`.
    std::optional<store::NetworkId> CurrentNetwork(std::uint32_t target);

    // The user's own actions, on the calling thread: each is one short statement.
    store::NetworkDevices Devices(const store::NetworkId& network);
    store::KnownNetworks Networks();
    store::StoreStatus Rename(const store::NetworkId& network, const std::string& mac,
                              const std::string& name);
    store::StoreStatus ForgetDevice(const store::NetworkId& network, const std::string& mac);
    store::StoreStatus ForgetNetwork(const store::NetworkId& network);

private:
    // The one connection, opened on first use by whichever thread needs it.
    std::shared_ptr<store::DeviceStore> Store(store::StoreStatus& status);
    void RememberDevices(store::DeviceStore& opened, const store::NetworkId& network);

    store::StoreLocation location_;
    NetworkOfTarget networkOf_;
    std::shared_ptr<IUiPoster> poster_;
    std::shared_ptr<IArpSender> sender_;
    std::mutex mutex_;
    std::shared_ptr<store::DeviceStore> store_;
    std::optional<store::NetworkId> lastNetwork_;
    std::optional<store::StoreStatus> untold_;
    // One thread, so the writes keep their order.
    QThreadPool writer_;
};

}  // namespace talvik
