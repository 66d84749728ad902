// SPDX-License-Identifier: GPL-3.0-or-later
// The store's file: where and whose it is, making, opening, removing, moving a damaged one aside.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "store/DeviceStore.h"
#include "store/StoreSql.h"

namespace talvik::store {

namespace {

constexpr const char* kFolder = "talvik";
constexpr const char* kFile = "devices.sqlite3";
// Beside the database SQLite keeps these while it is open, or after a crash.
constexpr const char* kCompanions[] = {"-wal", "-shm", "-journal"};

std::string Parent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Whether a store at `path` would be another user's place. The name itself is never followed:
// whoever owns what stands there owns the store. Its folder, followed only through a link of
// the user's own, must be the user's and writable by nobody else, or another user could plant
// a file or a companion beside it. Where the folder is missing the nearest folder above it
// that exists decides: for root it must be root's own (root could write anywhere), while any
// other user can only make folders of its own, wherever it may write.
bool OtherUsers(const std::string& path) {
    const uid_t self = ::geteuid();
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && info.st_uid != self) {
        return true;
    }
    const std::string folder = Parent(path);
    if (::lstat(folder.c_str(), &info) == 0) {
        if (info.st_uid != self) {
            return true;
        }
        if (S_ISLNK(info.st_mode) && ::stat(folder.c_str(), &info) != 0) {
            return false;  // the user's own broken link: making the store fails on its own
        }
        return info.st_uid != self || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    }
    for (std::string above = Parent(folder);; above = Parent(above)) {
        if (::stat(above.c_str(), &info) == 0) {
            return self == 0 && info.st_uid != self;
        }
        if (above == "/" || above == ".") {
            return false;
        }
    }
}

// Checks what stands at `name` (the store or a companion) through a descriptor of its own,
// never following a link: a regular file of the user's with no other name. `found` says
// whether anything is there.
StoreStatus CheckFile(const std::string& name, const std::string& path, bool& found) {
    found = false;
    const int fd = ::open(name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return error == ENOENT
                   ? StoreStatus{}
                   : Problem(FromErrno(error), path, name + ": " + std::strerror(error));
    }
    found = true;
    struct stat info {};
    const int got = ::fstat(fd, &info);
    ::close(fd);
    if (got != 0) {
        return Problem(StoreProblem::Failed, path, name + ": " + std::strerror(errno));
    }
    if (info.st_uid != ::geteuid()) {
        return Problem(StoreProblem::OtherUsersPlace, path, name);
    }
    if (!S_ISREG(info.st_mode)) {
        return Problem(StoreProblem::Failed, path, name + ": not a regular file");
    }
    // A second name could be another user's way to read or change it.
    if (info.st_nlink != 1) {
        return Problem(StoreProblem::OtherUsersPlace, path, name + ": more than one link");
    }
    return {};
}

// The store and each companion SQLite would open beside it.
StoreStatus CheckFiles(const std::string& path) {
    bool found = false;
    if (auto status = CheckFile(path, path, found); !status.Ok()) {
        return status;
    }
    for (const char* companion : kCompanions) {
        if (auto status = CheckFile(path + companion, path, found); !status.Ok()) {
            return status;
        }
    }
    return {};
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
    return !path.empty() && ::lstat(path.c_str(), &info) == 0;
}

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
    // A link, a folder, a device or a pipe in its place is never opened, nor a companion that
    // another user planted or can read through a name of theirs. The folder is the user's
    // alone, so what was checked stays what SQLite opens.
    if (auto checked = CheckFiles(path); !checked.Ok()) {
        return {nullptr, checked};
    }
    auto connection = Connect(path);
    if (connection.db) {
        return {std::unique_ptr<DeviceStore>(
                    new DeviceStore(connection.db, std::move(connection.control), path)),
                {}};
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
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            const int error = errno;
            return {nullptr, Problem(FromErrno(error), path, std::strerror(error))};
        }
        if (fd >= 0) {
            ::close(fd);
            // Its existence turns memory on, so a store that could not be made (a full disk)
            // must not stay behind.
            auto opened = Open(path);
            if (!opened.store) {
                ::unlink(path.c_str());
                for (const char* companion : kCompanions) {
                    ::unlink((path + companion).c_str());
                }
            }
            return opened;
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
    Watch(db_, control_.get());
    return said;
}

}  // namespace talvik::store
