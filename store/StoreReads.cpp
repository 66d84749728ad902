// SPDX-License-Identifier: GPL-3.0-or-later
// The store's reads: what is known of a scan's rows, what changed, and the lists of devices.
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

#include "store/DeviceStore.h"
#include "store/StoreSql.h"

namespace talvik::store {

std::optional<long long> DeviceStore::NetworkRowId(const NetworkId& network) {
    Statement find(db_, "SELECT id FROM networks WHERE subnet = ?1 AND gateway_mac = ?2");
    find.Bind(1, network.subnet).Bind(2, network.gatewayMac);
    if (find.Step() == SQLITE_ROW) {
        return find.Int(0);
    }
    return std::nullopt;
}

std::optional<NetworkHistory> DeviceStore::History(long long networkId,
                                                   std::span<const ScanRow> rows) {
    // Only what the rows can meet is read, so a write takes as long for a network of ten
    // thousand devices as for one of ten: the last answers at the rows' addresses, and the
    // devices of those and of the rows' own MACs. The lists go to SQLite as JSON arrays.
    std::string addresses = "[";
    std::string macs = "[";
    const auto add = [](std::string& list, const std::string& item) {
        list += (list.size() > 1 ? "," : "") + item;
    };
    for (const auto& row : rows) {
        add(addresses, std::to_string(row.address));
        if (const auto mac = NormalMac(row.mac)) {
            add(macs, '"' + *mac + '"');
        }
    }
    NetworkHistory history;
    Statement answers(db_,
                      "SELECT address, mac, time FROM last_answers WHERE network_id = ?1 AND "
                      "address IN (SELECT value FROM json_each(?2))");
    answers.Bind(1, networkId).Bind(2, addresses + "]");
    int code;
    while ((code = answers.Step()) == SQLITE_ROW) {
        history.lastAnswers.push_back(LastAnswer{static_cast<std::uint32_t>(answers.Int(0)),
                                                 answers.Text(1), answers.Int(2)});
        add(macs, '"' + history.lastAnswers.back().mac + '"');
    }
    if (code != SQLITE_DONE) {
        return std::nullopt;
    }
    Statement devices(db_,
                      "SELECT mac, last_address, maker, host_name, user_name, first_seen, "
                      "last_seen FROM devices WHERE network_id = ?1 AND "
                      "mac IN (SELECT value FROM json_each(?2))");
    devices.Bind(1, networkId).Bind(2, macs + "]");
    while ((code = devices.Step()) == SQLITE_ROW) {
        history.devices.push_back(
            Device{devices.Text(0), static_cast<std::uint32_t>(devices.Int(1)), devices.Text(2),
                   devices.Text(3), devices.Text(4), devices.Int(5), devices.Int(6), false, false});
    }
    if (code != SQLITE_DONE) {
        return std::nullopt;
    }
    return history;
}

ScanWrite DeviceStore::Compare(const NetworkId& network, std::span<const ScanRow> rows,
                               Seconds when) {
    const std::lock_guard lock(mutex_);
    ScanWrite result;
    NetworkHistory history;
    if (const auto id = NetworkRowId(network)) {
        auto known = History(*id, rows);
        if (!known) {
            result.status = Fail(sqlite3_errcode(db_));
            return result;
        }
        history = std::move(*known);
    }
    result.changes = CompareScan(history, rows, when);
    result.newDevices = CountNew(result.changes);
    return result;
}

KnownNetworks DeviceStore::Networks() {
    const std::lock_guard lock(mutex_);
    KnownNetworks result;
    Statement all(db_, "SELECT subnet, gateway_mac FROM networks ORDER BY subnet, gateway_mac");
    int code = SQLITE_OK;
    while ((code = all.Step()) == SQLITE_ROW) {
        result.networks.push_back({all.Text(0), all.Text(1), 0});
    }
    if (code != SQLITE_DONE) {
        result.networks.clear();
        result.status = Fail(code);
    }
    if (result.status.problem == StoreProblem::Corrupt) {
        result.status = ReplaceDamaged(result.status);
    }
    return result;
}

NetworkDevices DeviceStore::Devices(const NetworkId& network) {
    const std::lock_guard lock(mutex_);
    auto result = ListDevices(network);
    if (result.status.problem == StoreProblem::Corrupt) {
        result.status = ReplaceDamaged(result.status);
    }
    return result;
}

NetworkDevices DeviceStore::ListDevices(const NetworkId& network) {
    NetworkDevices result;
    // One read transaction, so the list and its online marks come from the same moment.
    int code = Exec(db_, "BEGIN");
    if (code != SQLITE_OK) {
        result.status = Fail(code);
        return result;
    }
    const auto done = [&](int failure) {
        if (failure != SQLITE_OK) {
            result.status = Fail(failure);
            result.devices.clear();
        }
        Exec(db_, "COMMIT");
        return result;
    };
    const auto networkId = NetworkRowId(network);
    if (!networkId) {
        return done(sqlite3_errcode(db_) == SQLITE_ROW || sqlite3_errcode(db_) == SQLITE_DONE
                        ? SQLITE_OK
                        : sqlite3_errcode(db_));
    }
    std::unordered_set<std::string> online;
    std::unordered_set<std::uint32_t> asked;
    {
        Statement last(db_,
                       "SELECT id, time FROM scans WHERE network_id = ?1 "
                       "ORDER BY time DESC, id DESC LIMIT 1");
        last.Bind(1, *networkId);
        if ((code = last.Step()) == SQLITE_ROW) {
            result.lastScan = last.Int(1);
            Statement seen(db_, "SELECT mac, address FROM sightings WHERE scan_id = ?1");
            seen.Bind(1, last.Int(0));
            while ((code = seen.Step()) == SQLITE_ROW) {
                online.insert(seen.Text(0));
                asked.insert(static_cast<std::uint32_t>(seen.Int(1)));
            }
        }
        if (code != SQLITE_DONE) {
            return done(code);
        }
    }
    Statement devices(db_,
                      "SELECT mac, last_address, maker, host_name, user_name, first_seen, "
                      "last_seen FROM devices WHERE network_id = ?1 ORDER BY last_address, mac");
    devices.Bind(1, *networkId);
    while ((code = devices.Step()) == SQLITE_ROW) {
        std::string mac = devices.Text(0);
        const bool on = online.contains(mac);
        const auto address = static_cast<std::uint32_t>(devices.Int(1));
        result.devices.push_back(Device{std::move(mac), address, devices.Text(2), devices.Text(3),
                                        devices.Text(4), devices.Int(5), devices.Int(6), on,
                                        on || asked.contains(address)});
    }
    return done(code == SQLITE_DONE ? SQLITE_OK : code);
}

std::optional<long> DeviceStore::CountDevices() {
    const std::lock_guard lock(mutex_);
    Statement count(db_, "SELECT count(*) FROM devices");
    if (count.Step() != SQLITE_ROW) {
        return std::nullopt;
    }
    return static_cast<long>(count.Int(0));
}

}  // namespace talvik::store
