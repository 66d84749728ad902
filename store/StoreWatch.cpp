// SPDX-License-Identifier: GPL-3.0-or-later
// What a watch writes: the claims it heard between scans and the events it said.
#include "store/DeviceStore.h"
#include "store/StoreSql.h"

namespace talvik::store {

StoreStatus DeviceStore::RecordWatch(const NetworkId& network, std::span<const HeardClaim> heard,
                                     std::span<const KeptEvent> events) {
    const std::lock_guard lock(mutex_);
    const auto fail = [&](int code) {
        const StoreStatus status = Fail(code);
        Exec(db_, "ROLLBACK");
        return status;
    };
    int code = Exec(db_, "BEGIN IMMEDIATE");
    if (code != SQLITE_OK) {
        return Fail(code);
    }
    const auto networkId = AddNetwork(network, code);
    if (!networkId) {
        return fail(code);
    }
    Statement device(db_,
                     "INSERT INTO devices(network_id, mac, first_seen, last_seen, last_address) "
                     "VALUES(?1, ?2, ?3, ?3, ?4) ON CONFLICT(network_id, mac) DO UPDATE SET "
                     "last_address = CASE WHEN excluded.last_seen >= last_seen "
                     "THEN excluded.last_address ELSE last_address END, "
                     "last_seen = max(last_seen, excluded.last_seen)");
    Statement answer(db_, kKeepLastAnswer);
    for (const HeardClaim& claim : heard) {
        const auto address = static_cast<long long>(claim.address);
        if ((code = device.Bind(1, *networkId)
                        .Bind(2, claim.mac)
                        .Bind(3, claim.when)
                        .Bind(4, address)
                        .Run()) != SQLITE_OK ||
            (code = answer.Bind(1, *networkId)
                        .Bind(2, address)
                        .Bind(3, claim.mac)
                        .Bind(4, claim.when)
                        .Run()) != SQLITE_OK) {
            return fail(code);
        }
    }
    Statement event(db_,
                    "INSERT INTO watch_events(network_id, time, kind, address, mac, previous_mac) "
                    "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    for (const KeptEvent& said : events) {
        if ((code = event.Bind(1, *networkId)
                        .Bind(2, said.when)
                        .Bind(3, said.kind)
                        .Bind(4, static_cast<long long>(said.address))
                        .Bind(5, said.mac)
                        .Bind(6, said.previousMac)
                        .Run()) != SQLITE_OK) {
            return fail(code);
        }
    }
    Statement prune(db_,
                    "DELETE FROM watch_events WHERE network_id = ?1 AND rowid IN ("
                    "SELECT rowid FROM watch_events WHERE network_id = ?1 "
                    "ORDER BY time DESC, rowid DESC LIMIT -1 OFFSET ?2)");
    if (!events.empty() &&
        (code = prune.Bind(1, *networkId).Bind(2, kKeepEvents).Run()) != SQLITE_OK) {
        return fail(code);
    }
    if ((code = Exec(db_, "COMMIT")) != SQLITE_OK) {
        return fail(code);
    }
    return {};
}

std::vector<DeviceStore::KeptEvent> DeviceStore::WatchEvents(const NetworkId& network, int limit) {
    const std::lock_guard lock(mutex_);
    std::vector<KeptEvent> events;
    Statement read(db_,
                   "SELECT e.time, e.kind, e.address, e.mac, e.previous_mac FROM watch_events e "
                   "JOIN networks n ON n.id = e.network_id WHERE n.subnet = ?1 AND "
                   "n.gateway_mac = ?2 ORDER BY e.time DESC, e.rowid DESC LIMIT ?3");
    read.Bind(1, network.subnet).Bind(2, network.gatewayMac).Bind(3, limit);
    while (read.Step() == SQLITE_ROW) {
        events.push_back({read.Int(0), read.Text(1), static_cast<std::uint32_t>(read.Int(2)),
                          read.Text(3), read.Text(4)});
    }
    return events;
}

DeviceStore::KeptEvent DeviceStore::KeptEvent::Of(const WatchEvent& event) {
    return {event.when / 1000, std::string(WatchEventName(event.kind)), event.address, event.mac,
            event.previousMac};
}

}  // namespace talvik::store
