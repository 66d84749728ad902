// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The devices a user's scans have seen, per network and MAC, in one SQLite file of the user's
// own. Memory is off until the file is made: its existence is the switch, so there is no
// setting to keep anywhere else. Nothing here ever stops a scan: every failure comes back as a
// problem with a reason the user can be told.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/DeviceChanges.h"
#include "store/WatchEvents.h"

struct sqlite3;

namespace talvik::store {

enum class StoreProblem {
    None,
    NoHome,           // no folder to keep it in (neither XDG_DATA_HOME nor HOME)
    OtherUsersPlace,  // the file or its folder belongs to another user: never written
    NotWritable,      // a read-only file, folder or file system
    DiskFull,
    Corrupt,       // the damaged file was renamed to `keptAside`
    NewerSchema,   // written by a newer Talvik; left as it is
    Busy,          // another program held it longer than the busy timeout
    NoSuchDevice,  // a rename or forget of a device the network does not know
    Failed,        // anything else; `detail` says what
};

struct StoreStatus {
    StoreProblem problem = StoreProblem::None;
    std::string path;       // the store's file
    std::string detail;     // the system's or SQLite's own words
    std::string keptAside;  // Corrupt: where the damaged file is now
    bool Ok() const { return problem == StoreProblem::None; }
};

// Why devices are not remembered, as one Chinese sentence (UTF-8) for a notice.
std::string DescribeProblem(const StoreStatus& status);

// Where the running user's store is: $XDG_DATA_HOME/talvik/devices.sqlite3, else
// ~/.local/share/talvik/devices.sqlite3. A place that belongs to another user (root that kept
// a user's HOME, as `sudo -E` does) gives way to the running user's own home from the password
// database; `status` says why there is none.
struct StoreLocation {
    std::string path;
    StoreStatus status;
};
StoreLocation LocateStore();

// What writing one scan gave.
struct ScanWrite {
    std::vector<RowChange> changes;  // one per row, in the rows' order
    int newDevices = 0;
    StoreStatus status;  // not Ok: nothing of the scan was written; `changes` stay empty
};

// A network's devices for a list of them.
struct NetworkDevices {
    std::vector<Device> devices;  // by address
    std::optional<Seconds> lastScan;
    StoreStatus status;
};

// The networks the store knows, by subnet.
struct KnownNetworks {
    std::vector<NetworkId> networks;
    StoreStatus status;
};

// One connection to the store. Its calls may come from any thread (one at a time is served)
// and may block for the busy timeout while another program writes; call it off the
// user-interface thread.
class DeviceStore final {
public:
    // How long a call waits for another program's write before it gives up (Busy).
    static constexpr int kBusyTimeoutMs = 5000;
    // Sightings are kept for this long, and at most for this many scans of a network.
    static constexpr Seconds kKeepSeconds = 90 * 24 * 3600;
    static constexpr int kKeepScans = 1000;
    // The schema this build writes; an older file is migrated forward when opened.
    static constexpr int kSchemaVersion = 3;
    // A watch's events are kept up to this many per network, the newest.
    static constexpr int kKeepEvents = 10000;

    struct Opened {
        std::unique_ptr<DeviceStore> store;  // null: memory is off, or the store failed
        // Not Ok with a store: it works, but something was said on the way (a corrupt file
        // kept aside and a new, empty one made in its place).
        StoreStatus status;
    };

    // Whether memory is on: the file is there.
    static bool Exists(const std::string& path);
    // Opens the store at `path` if it is there (no store and an Ok status when it is not),
    // migrating an older schema forward.
    static Opened Open(const std::string& path);
    // Turns memory on: makes the folders and the file where they are missing, then opens it.
    static Opened Create(const std::string& path);
    // Turns memory off: deletes the file with its journal. Ok when there was none.
    static StoreStatus Remove(const std::string& path);

    ~DeviceStore();
    DeviceStore(const DeviceStore&) = delete;
    DeviceStore& operator=(const DeviceStore&) = delete;

    const std::string& Path() const { return path_; }

    // How long later calls wait for another program's write (kBusyTimeoutMs at first).
    void SetBusyTimeout(int milliseconds);
    // Ends the call running now, and any later one that would wait or run long; safe from any
    // thread, so a stopped program need not wait for its store.
    void Interrupt();
    // Interrupt for every store of the process, also those still opening: for a program that
    // was told to stop.
    static void InterruptAll();

    // Writes one scan of `network` at `when` in one transaction: the sightings of every row
    // that answered, each device's first and last seen, address, maker and host name; then
    // drops the sightings past the bounds. Gives what changed against what was known before.
    // A file found damaged here is kept aside as at opening, and the scan goes into a new one
    // (status Corrupt, with the scan written).
    ScanWrite RecordScan(const NetworkId& network, std::span<const ScanRow> rows, Seconds when);
    // What changed, without writing (the same rules as RecordScan).
    ScanWrite Compare(const NetworkId& network, std::span<const ScanRow> rows, Seconds when);

    // What a watch heard and said in one transaction: each claim (an address and the MAC heard
    // at it, at `when`) makes the MAC a device of the network or moves its last address and
    // time on, and is the address's last answer; each event is kept, kKeepEvents at most.
    struct HeardClaim {
        std::uint32_t address = 0;
        std::string mac;  // "aa-bb-cc-dd-ee-ff"
        Seconds when = 0;
    };
    struct KeptEvent {
        Seconds when = 0;
        std::string kind;  // as WatchEventName gives it
        std::uint32_t address = 0;
        std::string mac;
        std::string previousMac;
        bool operator==(const KeptEvent&) const = default;
        // An event as the watch told it, kept to the second.
        static KeptEvent Of(const WatchEvent& event);
    };
    StoreStatus RecordWatch(const NetworkId& network, std::span<const HeardClaim> heard,
                            std::span<const KeptEvent> events);
    // The newest `limit` events kept of `network`, the newest first.
    std::vector<KeptEvent> WatchEvents(const NetworkId& network, int limit);

    // Every device known on `network`, with whether it answered in the last scan.
    NetworkDevices Devices(const NetworkId& network);
    // Every network with something remembered of it, by subnet.
    KnownNetworks Networks();
    // The devices of every network, for the question before memory is turned off.
    std::optional<long> CountDevices();

    // Gives the device `mac` of `network` the user's `name`; an empty name clears it.
    StoreStatus Rename(const NetworkId& network, std::string_view mac, std::string_view name);
    // Forgets one device with its sightings.
    StoreStatus ForgetDevice(const NetworkId& network, std::string_view mac);
    // Forgets a network: its devices, scans and sightings.
    StoreStatus ForgetNetwork(const NetworkId& network);

    // What every connection of the store is told to wait for and whether to stop.
    struct Control;

private:
    DeviceStore(sqlite3* db, std::unique_ptr<Control> control, std::string path);
    StoreStatus Fail(int code) const;
    std::optional<long long> NetworkRowId(const NetworkId& network);
    // The network's row, made first where there is none; `code` says why when there is none.
    std::optional<long long> AddNetwork(const NetworkId& network, int& code);
    std::optional<NetworkHistory> History(long long networkId, std::span<const ScanRow> rows);
    ScanWrite WriteScan(const NetworkId& network, std::span<const ScanRow> rows, Seconds when);
    NetworkDevices ListDevices(const NetworkId& network);
    // Keeps a file found damaged after it opened aside and moves to a new one in its place;
    // gives `said` with where the damaged file is now (empty when it could not be moved).
    StoreStatus ReplaceDamaged(StoreStatus said);

    std::mutex mutex_;
    sqlite3* db_;
    std::unique_ptr<Control> control_;
    std::string path_;
};

}  // namespace talvik::store
