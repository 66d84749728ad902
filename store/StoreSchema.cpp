// SPDX-License-Identifier: GPL-3.0-or-later
// The store's schema: the tables of each version, and opening a file to bring it to this one.
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "store/DeviceStore.h"
#include "store/StoreSql.h"

namespace talvik::store {

namespace {

// The tables of each schema version. A file of version N is brought to the current one by
// the steps after N, each in the same transaction.
constexpr const char* kSchemaV1 = R"sql(
CREATE TABLE networks(
  id INTEGER PRIMARY KEY,
  subnet TEXT NOT NULL,
  gateway_mac TEXT NOT NULL DEFAULT '',
  UNIQUE(subnet, gateway_mac));
CREATE TABLE devices(
  network_id INTEGER NOT NULL REFERENCES networks(id) ON DELETE CASCADE,
  mac TEXT NOT NULL,
  first_seen INTEGER NOT NULL,
  last_seen INTEGER NOT NULL,
  last_address INTEGER NOT NULL,
  maker TEXT NOT NULL DEFAULT '',
  PRIMARY KEY(network_id, mac)) WITHOUT ROWID;
CREATE TABLE scans(
  id INTEGER PRIMARY KEY,
  network_id INTEGER NOT NULL REFERENCES networks(id) ON DELETE CASCADE,
  time INTEGER NOT NULL);
CREATE INDEX scans_by_network ON scans(network_id, time);
CREATE TABLE sightings(
  scan_id INTEGER NOT NULL REFERENCES scans(id) ON DELETE CASCADE,
  address INTEGER NOT NULL,
  mac TEXT NOT NULL,
  PRIMARY KEY(scan_id, address, mac)) WITHOUT ROWID;
)sql";

// Version 2: host names and the user's names, and the last answer at each address kept apart
// from the bounded sightings, so a silent address is told what answered there however long ago.
constexpr const char* kToV2 = R"sql(
ALTER TABLE devices ADD COLUMN host_name TEXT NOT NULL DEFAULT '';
ALTER TABLE devices ADD COLUMN user_name TEXT NOT NULL DEFAULT '';
CREATE TABLE last_answers(
  network_id INTEGER NOT NULL REFERENCES networks(id) ON DELETE CASCADE,
  address INTEGER NOT NULL,
  mac TEXT NOT NULL,
  time INTEGER NOT NULL,
  PRIMARY KEY(network_id, address)) WITHOUT ROWID;
INSERT INTO last_answers(network_id, address, mac, time)
  SELECT sc.network_id, si.address, si.mac, max(sc.time)
  FROM sightings si JOIN scans sc ON sc.id = si.scan_id
  GROUP BY sc.network_id, si.address;
)sql";

// Version 3: what a watch said of each network, the newest kept.
constexpr const char* kToV3 = R"sql(
CREATE TABLE watch_events(
  network_id INTEGER NOT NULL REFERENCES networks(id) ON DELETE CASCADE,
  time INTEGER NOT NULL,
  kind TEXT NOT NULL,
  address INTEGER NOT NULL,
  mac TEXT NOT NULL,
  previous_mac TEXT NOT NULL DEFAULT '');
CREATE INDEX watch_events_by_network ON watch_events(network_id, time);
)sql";

constexpr const char* kMigrations[] = {kSchemaV1, kToV2, kToV3};
static_assert(std::size(kMigrations) == DeviceStore::kSchemaVersion);

}  // namespace

// Opens an existing file and brings its schema to the current version.
Connection Connect(const std::string& path) {
    Connection connection;
    const auto fail = [&](int code) {
        connection.status = SqliteProblem(connection.db, code, path);
        sqlite3_close_v2(connection.db);
        connection.db = nullptr;
        return std::move(connection);
    };
    int code = sqlite3_open_v2(path.c_str(), &connection.db,
                               SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (code != SQLITE_OK) {
        return fail(code);
    }
    sqlite3_extended_result_codes(connection.db, 1);
    if (sqlite3_db_readonly(connection.db, "main") == 1) {
        return fail(SQLITE_READONLY);
    }
    // The file may come from anywhere (a copy, a backup, a crafted one): its schema is data,
    // never code of ours. This store makes no triggers or views, so none ever runs.
    sqlite3_db_config(connection.db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(connection.db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(connection.db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(connection.db, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    connection.control = std::make_unique<DeviceStore::Control>();
    Watch(connection.db, connection.control.get());
    // The version is read before anything else is done, so that a newer file, or something
    // that is no store at all, is left exactly as it was.
    const auto readVersion = [&](int& version) {
        Statement read(connection.db, "PRAGMA user_version");
        const int got = read.Step();
        version = static_cast<int>(read.Int(0));
        return got == SQLITE_ROW ? SQLITE_OK : got;
    };
    int version = 0;
    if ((code = readVersion(version)) != SQLITE_OK) {
        return fail(code);
    }
    const auto newer = [&] {
        connection.status =
            Problem(StoreProblem::NewerSchema, path, "schema " + std::to_string(version));
        sqlite3_close_v2(connection.db);
        connection.db = nullptr;
        return std::move(connection);
    };
    if (version > DeviceStore::kSchemaVersion) {
        return newer();
    }
    // WAL lets two programs read and write at once; what is forgotten is overwritten, not just
    // unlinked from the file.
    if ((code = Exec(connection.db, "PRAGMA foreign_keys=ON; PRAGMA secure_delete=ON;")) !=
        SQLITE_OK) {
        return fail(code);
    }
    {
        Statement wal(connection.db, "PRAGMA journal_mode=WAL");
        if ((code = wal.Step()) != SQLITE_ROW) {
            return fail(code);
        }
        if (wal.Text(0) != "wal") {
            return fail(SQLITE_READONLY);
        }
    }
    if ((code = Exec(connection.db, "PRAGMA synchronous=NORMAL")) != SQLITE_OK) {
        return fail(code);
    }
    // A current file is only read: the write lock, which another program may hold for long,
    // is taken where there is something to write.
    if (version == DeviceStore::kSchemaVersion) {
        return connection;
    }
    // Another program may have migrated it meanwhile: read again under the write lock.
    if ((code = Exec(connection.db, "BEGIN IMMEDIATE")) != SQLITE_OK) {
        return fail(code);
    }
    if ((code = readVersion(version)) != SQLITE_OK) {
        Exec(connection.db, "ROLLBACK");
        return fail(code);
    }
    if (version > DeviceStore::kSchemaVersion) {
        Exec(connection.db, "ROLLBACK");
        return newer();
    }
    for (int step = version; step < DeviceStore::kSchemaVersion; ++step) {
        if ((code = Exec(connection.db, kMigrations[step])) != SQLITE_OK) {
            Exec(connection.db, "ROLLBACK");
            return fail(code);
        }
    }
    const std::string stamp = "PRAGMA user_version=" + std::to_string(DeviceStore::kSchemaVersion);
    if ((version < DeviceStore::kSchemaVersion &&
         (code = Exec(connection.db, stamp.c_str())) != SQLITE_OK) ||
        (code = Exec(connection.db, "COMMIT")) != SQLITE_OK) {
        Exec(connection.db, "ROLLBACK");
        return fail(code);
    }
    return connection;
}

}  // namespace talvik::store
