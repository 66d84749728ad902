// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared by the store's own sources alone (no other layer): statements, problems, connections.

#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "store/DeviceStore.h"

namespace talvik::store {

struct DeviceStore::Control {
    std::atomic<bool> stop{false};
    std::atomic<int> busyMs{DeviceStore::kBusyTimeoutMs};
};

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

// An address's last answer, never replaced by an older one (a scan and a watch write both).
inline constexpr const char* kKeepLastAnswer =
    "INSERT INTO last_answers(network_id, address, mac, time) VALUES(?1, ?2, ?3, ?4) "
    "ON CONFLICT(network_id, address) DO UPDATE SET mac = excluded.mac, time = excluded.time "
    "WHERE excluded.time >= time";

int Exec(sqlite3* db, const char* sql);
StoreStatus Problem(StoreProblem problem, const std::string& path, std::string detail = {});
StoreProblem FromErrno(int error);
StoreStatus SqliteProblem(sqlite3* db, int code, const std::string& path);
void Watch(sqlite3* db, DeviceStore::Control* control);

struct Connection {
    sqlite3* db = nullptr;
    std::unique_ptr<DeviceStore::Control> control;
    StoreStatus status;
};

// Opens an existing file and brings its schema to the current version.
Connection Connect(const std::string& path);

}  // namespace talvik::store
