// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/DeviceStore.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_set>
#include <utility>

namespace talvik::store {
namespace {

constexpr const char* kFolder = "talvik";
constexpr const char* kFile = "devices.sqlite3";
// Beside the database SQLite keeps these while it is open, or after a crash.
constexpr const char* kCompanions[] = {"-wal", "-shm", "-journal"};

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

constexpr const char* kMigrations[] = {kSchemaV1, kToV2};
static_assert(std::size(kMigrations) == DeviceStore::kSchemaVersion);

class Statement final {
public:
    Statement(sqlite3* db, const char* sql) {
        code_ = sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr);
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int Code() const { return code_; }
    Statement& Bind(int index, long long value) {
        Keep(sqlite3_bind_int64(statement_, index, value));
        return *this;
    }
    Statement& Bind(int index, std::string_view text) {
        Keep(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                               SQLITE_TRANSIENT));
        return *this;
    }
    // SQLITE_ROW or SQLITE_DONE while all is well; anything else is kept as the failure.
    int Step() {
        if (code_ != SQLITE_OK && code_ != SQLITE_ROW && code_ != SQLITE_DONE) {
            return code_;
        }
        code_ = sqlite3_step(statement_);
        return code_;
    }
    // Runs it to the end, for statements that give no rows; resets it for the next binding.
    int Run() {
        const int code = Step();
        sqlite3_reset(statement_);
        if (code == SQLITE_DONE) {
            code_ = SQLITE_OK;
        }
        return code == SQLITE_DONE || code == SQLITE_ROW ? SQLITE_OK : code;
    }
    long long Int(int column) const { return sqlite3_column_int64(statement_, column); }
    std::string Text(int column) const {
        const auto* text = sqlite3_column_text(statement_, column);
        return text
                   ? std::string(reinterpret_cast<const char*>(text),
                                 static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
                   : std::string();
    }

private:
    void Keep(int code) {
        if (code_ == SQLITE_OK && code != SQLITE_OK) {
            code_ = code;
        }
    }
    sqlite3_stmt* statement_ = nullptr;
    int code_ = SQLITE_OK;
};

int Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

std::string Parent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

StoreStatus Problem(StoreProblem problem, const std::string& path, std::string detail = {}) {
    StoreStatus status;
    status.problem = problem;
    status.path = path;
    status.detail = std::move(detail);
    return status;
}

StoreProblem FromErrno(int error) {
    switch (error) {
        case ENOSPC:
        case EDQUOT:
            return StoreProblem::DiskFull;
        case EROFS:
        case EACCES:
        case EPERM:
            return StoreProblem::NotWritable;
        default:
            return StoreProblem::Failed;
    }
}

StoreProblem FromSqlite(int code, int systemErrno) {
    switch (code & 0xFF) {
        case SQLITE_FULL:
            return StoreProblem::DiskFull;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return StoreProblem::Corrupt;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return StoreProblem::Busy;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return StoreProblem::NotWritable;
        case SQLITE_CANTOPEN:
        case SQLITE_IOERR: {
            const auto problem = FromErrno(systemErrno);
            return problem == StoreProblem::Failed && (code & 0xFF) == SQLITE_CANTOPEN
                       ? StoreProblem::NotWritable
                       : problem;
        }
        default:
            return StoreProblem::Failed;
    }
}

// Whether a store at `path` would be another user's: the file, or where it is missing the
// nearest folder above it that exists. Root could write anywhere, so for root that folder must
// be root's own; any other user can only make files of its own, wherever it may write.
bool OtherUsers(const std::string& path) {
    const uid_t self = ::geteuid();
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        return info.st_uid != self;
    }
    for (std::string folder = Parent(path);; folder = Parent(folder)) {
        if (::stat(folder.c_str(), &info) == 0) {
            return self == 0 && info.st_uid != self;
        }
        if (folder == "/" || folder == ".") {
            return false;
        }
    }
}

// Makes the missing folders above `path`, private to the user as the data folders should be.
StoreStatus MakeFolders(const std::string& path) {
    const std::string folder = Parent(path);
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode) ? StoreStatus{}
                                     : Problem(StoreProblem::Failed, path, std::strerror(ENOTDIR));
    }
    if (folder != path) {
        if (auto above = MakeFolders(folder); !above.Ok()) {
            above.path = path;
            return above;
        }
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        const int error = errno;
        return Problem(FromErrno(error), path, folder + ": " + std::strerror(error));
    }
    return {};
}

// Renames a damaged store out of the way, never over anything, with its journal beside it.
std::string KeepAside(const std::string& path) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string aside = path + ".damaged-" + stamp;
        if (attempt > 0) {
            aside.push_back('-');
            aside.append(std::to_string(attempt));
        }
        // Neither a hard link nor a rename that refuses to replace ever overwrites a name; the
        // link is tried first, the rename where the file system has no links.
        bool moved = ::link(path.c_str(), aside.c_str()) == 0 && ::unlink(path.c_str()) == 0;
        if (!moved && errno != EEXIST) {
            moved =
                ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0;
        }
        if (moved) {
            for (const char* companion : kCompanions) {
                ::rename((path + companion).c_str(), (aside + companion).c_str());
            }
            return aside;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return {};
}

}  // namespace

std::string DescribeProblem(const StoreStatus& status) {
    switch (status.problem) {
        case StoreProblem::None:
            return {};
        case StoreProblem::NoHome:
            return "找不到保存设备记录的文件夹（未设置 HOME）。";
        case StoreProblem::OtherUsersPlace:
            return "设备记录位置 " + status.path + " 属于其他用户，不会写入。";
        case StoreProblem::NotWritable:
            return "设备记录文件 " + status.path + " 无法写入（文件、文件夹或磁盘为只读）。";
        case StoreProblem::DiskFull:
            return "磁盘已满，无法写入设备记录。";
        case StoreProblem::Corrupt:
            return status.keptAside.empty() ? "设备记录文件 " + status.path + " 已损坏。"
                                            : "设备记录文件已损坏，已改名保存为 " +
                                                  status.keptAside + "，并新建了空的设备记录。";
        case StoreProblem::NewerSchema:
            return "设备记录文件 " + status.path + " 由更新版本的 Talvik 写入，本版本无法使用。";
        case StoreProblem::Busy:
            return "设备记录文件正被另一个程序长时间占用。";
        case StoreProblem::NoSuchDevice:
            return "没有找到这台设备的记录。";
        case StoreProblem::Failed:
            break;
    }
    // The system's own words (status.detail) are English: they are for a log, not the notice.
    return "无法读写设备记录文件 " + status.path + "。";
}

StoreLocation LocateStore() {
    const auto under = [](const std::string& data) { return data + "/" + kFolder + "/" + kFile; };
    std::string path;
    // A relative XDG_DATA_HOME is no place at all: it would follow the working folder.
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/') {
        path = under(data);
    } else if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
        path = under(std::string(home) + "/.local/share");
    }
    if (!path.empty() && !OtherUsers(path)) {
        return {path, {}};
    }
    // HOME kept from another user: the running user's own home instead.
    std::string refused = path;
    if (const passwd* user = ::getpwuid(::geteuid());
        user && user->pw_dir && user->pw_dir[0] == '/') {
        path = under(std::string(user->pw_dir) + "/.local/share");
        if (!OtherUsers(path)) {
            return {path, {}};
        }
        refused = refused.empty() ? path : refused;
    }
    if (refused.empty()) {
        return {{}, Problem(StoreProblem::NoHome, {})};
    }
    return {{}, Problem(StoreProblem::OtherUsersPlace, refused)};
}

bool DeviceStore::Exists(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

DeviceStore::DeviceStore(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

DeviceStore::~DeviceStore() {
    sqlite3_close_v2(db_);
}

namespace {

struct Connection {
    sqlite3* db = nullptr;
    StoreStatus status;
};

StoreStatus SqliteProblem(sqlite3* db, int code, const std::string& path) {
    return Problem(FromSqlite(code, db ? sqlite3_system_errno(db) : 0), path,
                   db ? sqlite3_errmsg(db) : sqlite3_errstr(code));
}

// Opens an existing file and brings its schema to the current version.
Connection Connect(const std::string& path) {
    Connection connection;
    const auto fail = [&](int code) {
        connection.status = SqliteProblem(connection.db, code, path);
        sqlite3_close_v2(connection.db);
        connection.db = nullptr;
        return connection;
    };
    int code = sqlite3_open_v2(path.c_str(), &connection.db, SQLITE_OPEN_READWRITE, nullptr);
    if (code != SQLITE_OK) {
        return fail(code);
    }
    sqlite3_extended_result_codes(connection.db, 1);
    if (sqlite3_db_readonly(connection.db, "main") == 1) {
        return fail(SQLITE_READONLY);
    }
    sqlite3_busy_timeout(connection.db, DeviceStore::kBusyTimeoutMs);
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
        return connection;
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
    // Another program may have migrated it meanwhile: read again under the write lock.
    if ((code = Exec(connection.db, "PRAGMA synchronous=NORMAL; BEGIN IMMEDIATE")) != SQLITE_OK) {
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
    // A current file is not written at all: the write lock alone shows that it could be.
    const std::string stamp = "PRAGMA user_version=" + std::to_string(DeviceStore::kSchemaVersion);
    if ((version < DeviceStore::kSchemaVersion &&
         (code = Exec(connection.db, stamp.c_str())) != SQLITE_OK) ||
        (code = Exec(connection.db, "COMMIT")) != SQLITE_OK) {
        Exec(connection.db, "ROLLBACK");
        return fail(code);
    }
    return connection;
}

}  // namespace

DeviceStore::Opened DeviceStore::Open(const std::string& path) {
    if (path.empty()) {
        return {nullptr, Problem(StoreProblem::NoHome, path)};
    }
    if (!Exists(path)) {
        return {};
    }
    if (OtherUsers(path)) {
        return {nullptr, Problem(StoreProblem::OtherUsersPlace, path)};
    }
    // A folder, a device or a pipe in its place would only fail later, or block.
    if (struct stat info{}; ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return {nullptr, Problem(StoreProblem::Failed, path, "not a regular file")};
    }
    auto connection = Connect(path);
    if (connection.db) {
        return {std::unique_ptr<DeviceStore>(new DeviceStore(connection.db, path)), {}};
    }
    if (connection.status.problem != StoreProblem::Corrupt) {
        return {nullptr, connection.status};
    }
    // Memory stays on: the damaged file is kept for whoever wants to rescue it, and an empty
    // store takes its place.
    StoreStatus said = connection.status;
    said.keptAside = KeepAside(path);
    if (said.keptAside.empty()) {
        return {nullptr, said};
    }
    auto fresh = Create(path);
    if (!fresh.store) {
        return fresh;
    }
    fresh.status = said;
    return fresh;
}

DeviceStore::Opened DeviceStore::Create(const std::string& path) {
    if (path.empty()) {
        return {nullptr, Problem(StoreProblem::NoHome, path)};
    }
    if (OtherUsers(path)) {
        return {nullptr, Problem(StoreProblem::OtherUsersPlace, path)};
    }
    if (!Exists(path)) {
        if (auto made = MakeFolders(path); !made.Ok()) {
            return {nullptr, made};
        }
        // Made here first, so that the file (and the journal SQLite gives its mode) is the
        // user's alone.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            const int error = errno;
            return {nullptr, Problem(FromErrno(error), path, std::strerror(error))};
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
    return Open(path);
}

StoreStatus DeviceStore::Remove(const std::string& path) {
    if (!Exists(path)) {
        return {};
    }
    if (OtherUsers(path)) {
        return Problem(StoreProblem::OtherUsersPlace, path);
    }
    if (::unlink(path.c_str()) != 0) {
        const int error = errno;
        return Problem(FromErrno(error), path, std::strerror(error));
    }
    for (const char* companion : kCompanions) {
        ::unlink((path + companion).c_str());
    }
    return {};
}

StoreStatus DeviceStore::Fail(int code) const {
    return SqliteProblem(db_, code, path_);
}

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

StoreStatus DeviceStore::ReplaceDamaged(StoreStatus said) {
    said.keptAside = KeepAside(path_);
    if (said.keptAside.empty()) {
        return said;
    }
    auto fresh = Create(path_);
    if (!fresh.store) {
        return said;  // this connection stays on the damaged file, which is kept
    }
    // A connection follows its file when it is renamed, so the old one is closed only now.
    sqlite3_close_v2(db_);
    db_ = std::exchange(fresh.store->db_, nullptr);
    return said;
}

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
    {
        Statement add(db_, "INSERT OR IGNORE INTO networks(subnet, gateway_mac) VALUES(?1, ?2)");
        if ((code = add.Bind(1, network.subnet).Bind(2, network.gatewayMac).Run()) != SQLITE_OK) {
            return fail(code);
        }
    }
    const auto networkId = NetworkRowId(network);
    if (!networkId) {
        return fail(sqlite3_errcode(db_));
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
    Statement answer(db_,
                     "INSERT INTO last_answers(network_id, address, mac, time) "
                     "VALUES(?1, ?2, ?3, ?4) ON CONFLICT(network_id, address) DO UPDATE SET "
                     "mac = excluded.mac, time = excluded.time WHERE excluded.time >= time");
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
