// SPDX-License-Identifier: GPL-3.0-or-later
// The store's connection itself: making and ending it, waiting and stopping, and its problems.
#include "store/DeviceStore.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "store/StoreSql.h"

namespace talvik::store {

int Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

StoreStatus Problem(StoreProblem problem, const std::string& path, std::string detail) {
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

namespace {

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

}  // namespace

StoreStatus SqliteProblem(sqlite3* db, int code, const std::string& path) {
    return Problem(FromSqlite(code, db ? sqlite3_system_errno(db) : 0), path,
                   db ? sqlite3_errmsg(db) : sqlite3_errstr(code));
}

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

DeviceStore::DeviceStore(sqlite3* db, std::unique_ptr<Control> control, std::string path)
    : db_(db), control_(std::move(control)), path_(std::move(path)) {}

DeviceStore::~DeviceStore() {
    sqlite3_close_v2(db_);
}

void DeviceStore::SetBusyTimeout(int milliseconds) {
    control_->busyMs = milliseconds;
}

namespace {
std::atomic<bool> everyStoreStops{false};
}  // namespace

void DeviceStore::Interrupt() {
    control_->stop = true;
}

void DeviceStore::InterruptAll() {
    everyStoreStops = true;
}

namespace {

constexpr int kBusyStepMs = 10;

// Waits in short steps, so that a stop is seen within one of them.
int WaitWhileBusy(void* context, int count) {
    const auto* control = static_cast<const DeviceStore::Control*>(context);
    if (control->stop || everyStoreStops || count * kBusyStepMs >= control->busyMs) {
        return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kBusyStepMs));
    return 1;
}

// A query that runs long (a huge or crafted file) ends on a stop as well.
int Stopped(void* context) {
    return static_cast<const DeviceStore::Control*>(context)->stop || everyStoreStops ? 1 : 0;
}

}  // namespace

void Watch(sqlite3* db, DeviceStore::Control* control) {
    sqlite3_busy_handler(db, WaitWhileBusy, control);
    sqlite3_progress_handler(db, 1000, Stopped, control);
}

StoreStatus DeviceStore::Fail(int code) const {
    return SqliteProblem(db_, code, path_);
}

}  // namespace talvik::store
