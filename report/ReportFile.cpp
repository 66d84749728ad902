// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/ReportFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>

#include "scan/FullIo.h"

namespace talvik {

namespace {

namespace fs = std::filesystem;

constexpr const char* kAccessAcl = "system.posix_acl_access";
// The old report is held in memory while it is written over; no report comes near this.
constexpr off_t kLargestInPlace = off_t{256} << 20;

std::string FolderOf(const std::string& path) {
    const std::string folder = fs::path(path).parent_path().string();
    return folder.empty() ? std::string(".") : folder;
}

// The process's file-creation mask, read without changing it (another thread may create files).
mode_t CurrentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
        }
    }
    return 022;
}

// The kernel's own rule for links in shared folders such as /tmp: a link there is only followed
// when it belongs to us or to the folder's owner, so another user cannot aim one at our files.
bool MayFollow(const std::string& link, const struct stat& linkStat) {
    struct stat folder {};
    if (stat(FolderOf(link).c_str(), &folder) != 0) {
        return false;
    }
    const bool shared = (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
    return !shared || linkStat.st_uid == geteuid() || linkStat.st_uid == folder.st_uid;
}

// The name `path` finally stands for, symbolic links followed; a link whose target is missing
// gives that target, so the report is made where the link points. Nothing, with errno set, for
// a loop or a link not to be followed.
std::optional<std::string> FinalName(std::string path) {
    for (int hops = 0; hops <= 40; ++hops) {  // as many as the kernel follows
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return path;
        }
        std::error_code error;
        const fs::path target = fs::read_symlink(path, error);
        if (error || !MayFollow(path, st)) {
            errno = error ? error.value() : EACCES;
            return std::nullopt;
        }
        path =
            target.is_absolute() ? target.string() : (fs::path(FolderOf(path)) / target).string();
    }
    errno = ELOOP;
    return std::nullopt;
}

bool ReadAll(int fd, std::string& bytes) {
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got == 0;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

// Makes the new file the old one's in owner, group, mode and access list; false where we may
// not, and the file must then be written in place.
bool TakeOver(int fd, const std::string& path, const struct stat& old) {
    if (fchown(fd, old.st_uid, old.st_gid) != 0 || fchmod(fd, old.st_mode & 0777) != 0) {
        return false;
    }
    const ssize_t size = getxattr(path.c_str(), kAccessAcl, nullptr, 0);
    if (size < 0) {
        // A list the folder hands to new files must not stay on one the old file lacked.
        return (errno == ENODATA || errno == ENOTSUP) &&
               (fremovexattr(fd, kAccessAcl) == 0 || errno == ENODATA || errno == ENOTSUP);
    }
    std::string acl(static_cast<std::size_t>(size), '\0');
    const ssize_t got = getxattr(path.c_str(), kAccessAcl, acl.data(), acl.size());
    return got >= 0 && fsetxattr(fd, kAccessAcl, acl.data(), static_cast<std::size_t>(got), 0) == 0;
}

// Writes over the file itself, so that it stays whose it is and every hard link sees the new
// report. The old contents wait in memory and go back if the write fails; they are put back
// over the blocks they came from, which needs no room a full disk would refuse.
// `checked` is what the name held when it was judged; another user may have put something else
// there since (a FIFO would block the read for good), so the file opened must be that one.
ReplaceResult WriteInPlace(const std::string& path, const struct stat& checked,
                           std::string_view bytes) {
    using Stage = ReplaceResult::Stage;
    const int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return {Stage::Replace, errno};
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != checked.st_dev ||
        st.st_ino != checked.st_ino) {
        close(fd);
        return {Stage::Replace, EBUSY};
    }
    std::string old;
    if (st.st_size > kLargestInPlace || !ReadAll(fd, old)) {
        const int error = st.st_size > kLargestInPlace ? EFBIG : errno;
        close(fd);
        return {Stage::Create, error};
    }
    if (!WriteFully(fd, bytes.data(), bytes.size(), 0) ||
        ftruncate(fd, static_cast<off_t>(bytes.size())) != 0 || fsync(fd) != 0) {
        const int error = errno;
        WriteFully(fd, old.data(), old.size(), 0);
        (void)!ftruncate(fd, static_cast<off_t>(old.size()));
        fsync(fd);
        close(fd);
        return {Stage::Write, error};
    }
    if (close(fd) != 0) {
        return {Stage::Write, errno};
    }
    return {};
}

// In a sticky folder another user's file is theirs to replace, not ours: the kernel's deletion
// rule, and in a world-writable one (/tmp) its protected-regular rule, which binds root too, so
// that root never hands a report to, or writes it into, a file another user put there.
bool OthersFileInSharedFolder(const struct stat& file, const struct stat& folder) {
    if ((folder.st_mode & S_ISVTX) == 0) {
        return false;
    }
    const uid_t me = geteuid();
    if (me != 0) {
        return file.st_uid != me && folder.st_uid != me;
    }
    return (folder.st_mode & S_IWOTH) != 0 && file.st_uid != 0 && file.st_uid != folder.st_uid;
}

// Whether `file`, at `path`, is another user's in a shared folder; also when the folder cannot be
// looked at, since then nothing says it is not.
bool OthersFileAt(const std::string& path, const struct stat& file) {
    struct stat folder {};
    return stat(FolderOf(path).c_str(), &folder) != 0 || OthersFileInSharedFolder(file, folder);
}

// Rename replaces even a read-only file on Linux, so what would stop a delete of it elsewhere is
// checked here: another user's file in a shared folder, no write permission bit at all (which
// binds root too), no write access, or a folder that does not let us replace its entries.
SaveOutcome Replaceable(const std::string& path, const struct stat& file) {
    if (OthersFileAt(path, file)) {
        return SaveOutcome::OthersFile;
    }
    if ((file.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
        (access(path.c_str(), W_OK) != 0 && errno != ENOENT) ||
        access(FolderOf(path).c_str(), W_OK | X_OK) != 0) {
        return SaveOutcome::ReadOnly;
    }
    return SaveOutcome::Saved;
}

SaveOutcome Refuse(SaveOutcome why, IMessageBox& messages) {
    messages.MessageBox(why == SaveOutcome::OthersFile ? kOthersFileText : kCannotOverwriteText,
                        kReportCaption, kMbOk);
    return why;
}

// Where nothing was at the name, nothing that appeared there since is replaced either.
bool MoveInto(const std::string& temporary, const std::string& path, bool replacing) {
    if (!replacing) {
        if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
            return true;
        }
        if (errno != EINVAL && errno != ENOSYS) {  // else a file system without it
            return false;
        }
    }
    return rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

ReplaceResult ReplaceFileContents(const std::string& name, std::string_view bytes) {
    using Stage = ReplaceResult::Stage;
    const std::optional<std::string> final = FinalName(name);
    if (!final) {
        return {Stage::Create, errno};
    }
    const std::string& path = *final;
    struct stat old {};
    const bool replacing = lstat(path.c_str(), &old) == 0;
    // Renaming over a device node, a FIFO or a socket would destroy it (as root, /dev/null for
    // every program): only a regular file is ever replaced.
    if (replacing && !S_ISREG(old.st_mode)) {
        return {Stage::Replace, S_ISDIR(old.st_mode) ? EISDIR : EEXIST};
    }
    const std::string folder = FolderOf(path);
    if (replacing && OthersFileAt(path, old)) {
        return {Stage::Replace, EACCES};
    }
    if (replacing && old.st_nlink > 1) {
        return WriteInPlace(path, old, bytes);
    }
    // A fixed short name, so that a target name near the length limit still leaves room.
    std::string temporary = folder + "/.talvik-report-XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return {Stage::Create, errno};
    }
    const auto fail = [&](Stage stage, int error, bool open) {
        if (open) {
            close(fd);
        }
        unlink(temporary.c_str());
        return ReplaceResult{stage, error};
    };

    if (replacing) {
        if (!TakeOver(fd, path, old)) {
            fail(Stage::Create, 0, true);
            return WriteInPlace(path, old, bytes);
        }
    } else if (fchmod(fd, 0666 & ~CurrentUmask()) != 0) {
        return fail(Stage::Create, errno, true);
    }
    if (!WriteFully(fd, bytes.data(), bytes.size(), 0) || fsync(fd) != 0) {
        return fail(Stage::Write, errno, true);
    }
    if (close(fd) != 0) {
        return fail(Stage::Write, errno, false);
    }
    if (!MoveInto(temporary, path, replacing)) {
        return fail(Stage::Replace, errno, false);
    }
    // The new name is only lasting once the folder is on disk too; the report is complete
    // either way, so a failure here is not one of the save.
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        fsync(folderFd);
        close(folderFd);
    }
    return {};
}

SaveOutcome SaveHtmlReport(const std::string& path, const std::vector<ReportRow>& rows,
                           const ReportTime& time, IMessageBox& messages) {
    return SaveAsking(
        path, [&] { return BuildHtmlReport(rows, time); }, messages);
}

SaveOutcome SaveAsking(const std::string& path, const std::function<std::string()>& build,
                       IMessageBox& messages) {
    // Anything at the name but a folder counts as an existing file, also one we cannot read or a
    // link to nothing: replacing it unasked would lose it.
    struct stat existing {};
    const bool exists = lstat(path.c_str(), &existing) == 0 && !S_ISDIR(existing.st_mode);
    const std::optional<std::string> final = exists ? FinalName(path) : std::nullopt;
    struct stat target {};
    // A device, a FIFO or a socket is never replaced, whatever the answer would be.
    if (final && lstat(final->c_str(), &target) == 0 && !S_ISREG(target.st_mode)) {
        messages.MessageBox(kSaveFailedText, kReportCaption, kMbOk);
        return SaveOutcome::Failed;
    }
    if (exists) {
        if (messages.MessageBox(kAskOverwriteText, kReportCaption, kMbYesNo | kMbIconQuestion) !=
            kIdYes) {
            return SaveOutcome::Declined;
        }
        // The file a link leads to is the one replaced, so it is the one that must allow it.
        if (final && lstat(final->c_str(), &target) == 0) {
            if (const SaveOutcome why = Replaceable(*final, target); why != SaveOutcome::Saved) {
                return Refuse(why, messages);
            }
        }
    }

    ReplaceResult result;
    try {
        result = ReplaceFileContents(path, build());
    } catch (const std::exception&) {
        result = {ReplaceResult::Stage::Create, ENOMEM};
    }
    if (result.Ok()) {
        return SaveOutcome::Saved;
    }
    if (result.error == ENOSPC || result.error == EDQUOT) {
        // Built by concatenation: GCC 12 warns falsely about std::string::replace here.
        const std::string_view format = kDiskFullText;
        const std::size_t at = format.find("%1");
        const std::string text =
            std::string(format.substr(0, at)) + path + std::string(format.substr(at + 2));
        messages.MessageBox(text, kReportCaption, kMbOk | kMbIconStop);
        return SaveOutcome::DiskFull;
    }
    if (exists && result.stage == ReplaceResult::Stage::Replace &&
        (result.error == EPERM || result.error == EACCES)) {
        const bool others =
            final && lstat(final->c_str(), &target) == 0 && OthersFileAt(*final, target);
        return Refuse(others ? SaveOutcome::OthersFile : SaveOutcome::ReadOnly, messages);
    }
    messages.MessageBox(kSaveFailedText, kReportCaption, kMbOk);
    return SaveOutcome::Failed;
}

}  // namespace talvik
