// SPDX-License-Identifier: GPL-3.0-or-later
// The store's writes: a scan, the user's names, and forgetting a device or a network.
#include <optional>
#include <string>
#include <string_view>

#include "store/DeviceStore.h"
#include "store/StoreSql.h"

namespace talvik::store {

ScanWrite DeviceStore::RecordScan(const NetworkId& network, std::span<const ScanRow> rows,
                                  Seconds when) {
    const std::lock_guard lock(mutex_);
    auto result = WriteScan(network, rows, when);
    if (result.status.problem == StoreProblem::Corrupt) {
        // Damage inside a file that opened well: kept aside as at opening, and the scan goes
        // into the new, empty store in its place.
        const StoreStatus said = ReplaceDamaged(result.status);
        if (!said.keptAside.empty()) {
            result = WriteScan(network, rows, when);
            if (result.status.Ok()) {
                result.status = said;
            }
        }
    }
    return result;
}

std::optional<long long> DeviceStore::AddNetwork(const NetworkId& network, int& code) {
    Statement add(db_, "INSERT OR IGNORE INTO networks(subnet, gateway_mac) VALUES(?1, ?2)");
    if ((code = add.Bind(1, network.subnet).Bind(2, network.gatewayMac).Run()) != SQLITE_OK) {
        return std::nullopt;
    }
    const auto id = NetworkRowId(network);
    code = id ? SQLITE_OK : sqlite3_errcode(db_);
    return id;
}

ScanWrite DeviceStore::WriteScan(const NetworkId& network, std::span<const ScanRow> rows,
                                 Seconds when) {
    ScanWrite result;
    const auto fail = [&](int code) {
        result.status = Fail(code);
        Exec(db_, "ROLLBACK");
        result.changes.clear();
        result.newDevices = 0;
        return result;
    };
    // IMMEDIATE: the write lock is taken (or waited for) before anything is read, so two
    // programs writing at once queue instead of failing halfway.
    int code = Exec(db_, "BEGIN IMMEDIATE");
    if (code != SQLITE_OK) {
        result.status = Fail(code);
        return result;
    }
    const auto networkId = AddNetwork(network, code);
    if (!networkId) {
        return fail(code);
    }
    const auto history = History(*networkId, rows);
    if (!history) {
        return fail(sqlite3_errcode(db_));
    }
    result.changes = CompareScan(*history, rows, when);
    result.newDevices = CountNew(result.changes);

    Statement scan(db_, "INSERT INTO scans(network_id, time) VALUES(?1, ?2)");
    if ((code = scan.Bind(1, *networkId).Bind(2, when).Run()) != SQLITE_OK) {
        return fail(code);
    }
    const long long scanId = sqlite3_last_insert_rowid(db_);
    Statement sighting(db_,
                       "INSERT OR IGNORE INTO sightings(scan_id, address, mac) "
                       "VALUES(?1, ?2, ?3)");
    Statement device(db_,
                     "INSERT INTO devices(network_id, mac, first_seen, last_seen, last_address, "
                     "maker, host_name) VALUES(?1, ?2, ?3, ?3, ?4, ?5, ?6) "
                     "ON CONFLICT(network_id, mac) DO UPDATE SET "
                     "last_seen = max(last_seen, excluded.last_seen), "
                     "last_address = excluded.last_address, "
                     "maker = CASE excluded.maker WHEN '' THEN maker ELSE excluded.maker END, "
                     "host_name = CASE excluded.host_name WHEN '' THEN host_name "
                     "ELSE excluded.host_name END");
    Statement answer(db_, kKeepLastAnswer);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& mac = result.changes[i].mac;
        const auto address = static_cast<long long>(rows[i].address);
        if (mac.empty()) {
            // A silent address is kept as asked, with no MAC, so the device last seen there is
            // known to have been silent rather than left out of the scan.
            if ((code = sighting.Bind(1, scanId).Bind(2, address).Bind(3, mac).Run()) !=
                SQLITE_OK) {
                return fail(code);
            }
            continue;
        }
        if ((code = sighting.Bind(1, scanId).Bind(2, address).Bind(3, mac).Run()) != SQLITE_OK ||
            (code = device.Bind(1, *networkId)
                        .Bind(2, mac)
                        .Bind(3, when)
                        .Bind(4, address)
                        .Bind(5, rows[i].maker)
                        .Bind(6, rows[i].hostName)
                        .Run()) != SQLITE_OK ||
            (code = answer.Bind(1, *networkId).Bind(2, address).Bind(3, mac).Bind(4, when).Run()) !=
                SQLITE_OK) {
            return fail(code);
        }
    }
    // The sightings past either bound go with their scans.
    Statement prune(db_,
                    "DELETE FROM scans WHERE network_id = ?1 AND (time < ?2 OR id IN ("
                    "SELECT id FROM scans WHERE network_id = ?1 ORDER BY time DESC, id DESC "
                    "LIMIT -1 OFFSET ?3))");
    if ((code = prune.Bind(1, *networkId).Bind(2, when - kKeepSeconds).Bind(3, kKeepScans).Run()) !=
            SQLITE_OK ||
        (code = Exec(db_, "COMMIT")) != SQLITE_OK) {
        return fail(code);
    }
    return result;
}

StoreStatus DeviceStore::Rename(const NetworkId& network, std::string_view mac,
                                std::string_view name) {
    const std::lock_guard lock(mutex_);
    const auto normal = NormalMac(mac);
    if (!normal) {
        return Problem(StoreProblem::NoSuchDevice, path_);
    }
    Statement rename(db_,
                     "UPDATE devices SET user_name = ?3 WHERE mac = ?2 AND network_id = "
                     "(SELECT id FROM networks WHERE subnet = ?1 AND gateway_mac = ?4)");
    const int code = rename.Bind(1, network.subnet)
                         .Bind(2, *normal)
                         .Bind(3, name)
                         .Bind(4, network.gatewayMac)
                         .Run();
    if (code != SQLITE_OK) {
        return Fail(code);
    }
    return sqlite3_changes(db_) > 0 ? StoreStatus{} : Problem(StoreProblem::NoSuchDevice, path_);
}

StoreStatus DeviceStore::ForgetDevice(const NetworkId& network, std::string_view mac) {
    const std::lock_guard lock(mutex_);
    const auto normal = NormalMac(mac);
    if (!normal) {
        return Problem(StoreProblem::NoSuchDevice, path_);
    }
    int code = Exec(db_, "BEGIN IMMEDIATE");
    if (code != SQLITE_OK) {
        return Fail(code);
    }
    const auto networkId = NetworkRowId(network);
    if (!networkId) {
        Exec(db_, "ROLLBACK");
        return Problem(StoreProblem::NoSuchDevice, path_);
    }
    Statement device(db_, "DELETE FROM devices WHERE network_id = ?1 AND mac = ?2");
    if ((code = device.Bind(1, *networkId).Bind(2, *normal).Run()) != SQLITE_OK) {
        Exec(db_, "ROLLBACK");
        return Fail(code);
    }
    if (sqlite3_changes(db_) == 0) {
        Exec(db_, "ROLLBACK");
        return Problem(StoreProblem::NoSuchDevice, path_);
    }
    Statement sightings(db_,
                        "DELETE FROM sightings WHERE mac = ?2 AND scan_id IN "
                        "(SELECT id FROM scans WHERE network_id = ?1)");
    Statement answers(db_, "DELETE FROM last_answers WHERE network_id = ?1 AND mac = ?2");
    if ((code = sightings.Bind(1, *networkId).Bind(2, *normal).Run()) != SQLITE_OK ||
        (code = answers.Bind(1, *networkId).Bind(2, *normal).Run()) != SQLITE_OK ||
        (code = Exec(db_, "COMMIT")) != SQLITE_OK) {
        Exec(db_, "ROLLBACK");
        return Fail(code);
    }
    return {};
}

StoreStatus DeviceStore::ForgetNetwork(const NetworkId& network) {
    const std::lock_guard lock(mutex_);
    // Its devices, scans with their sightings, and last answers go with it.
    Statement forget(db_, "DELETE FROM networks WHERE subnet = ?1 AND gateway_mac = ?2");
    const int code = forget.Bind(1, network.subnet).Bind(2, network.gatewayMac).Run();
    return code == SQLITE_OK ? StoreStatus{} : Fail(code);
}

}  // namespace talvik::store
