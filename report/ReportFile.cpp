#include "report/ReportFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>

namespace talvik {

namespace {

std::string FolderOf(const std::string& path) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
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

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Rename replaces even a read-only file on Linux, so what would stop a delete of it elsewhere is
// checked here: no write permission bit at all (which binds root too), no write access, or a
// folder that does not let us replace its entries.
bool CanReplace(const std::string& path, const struct stat& file) {
    if (!S_ISLNK(file.st_mode)) {
        if ((file.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
            return false;
        }
        if (access(path.c_str(), W_OK) != 0 && errno != ENOENT) {
            return false;
        }
    }
    const std::string folder = FolderOf(path);
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        return false;
    }
    struct stat folderStat {};
    if (stat(folder.c_str(), &folderStat) == 0 && (folderStat.st_mode & S_ISVTX) != 0) {
        const uid_t me = geteuid();
        if (me != 0 && file.st_uid != me && folderStat.st_uid != me) {
            return false;
        }
    }
    return true;
}

}  // namespace

ReplaceResult ReplaceFileContents(const std::string& path, std::string_view bytes) {
    using Stage = ReplaceResult::Stage;
    struct stat old {};
    const mode_t mode = lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)
                            ? (old.st_mode & 0777)
                            : (0666 & ~CurrentUmask());
    const std::string folder = FolderOf(path);
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

    if (fchmod(fd, mode) != 0) {
        return fail(Stage::Create, errno, true);
    }
    if (!WriteAll(fd, bytes) || fsync(fd) != 0) {
        return fail(Stage::Write, errno, true);
    }
    if (close(fd) != 0) {
        return fail(Stage::Write, errno, false);
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        return fail(Stage::Rename, errno, false);
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
    // Anything at the name but a folder counts as an existing file, also one we cannot read:
    // replacing it unasked would lose it.
    struct stat existing {};
    const bool exists = lstat(path.c_str(), &existing) == 0 && !S_ISDIR(existing.st_mode);
    if (exists) {
        if (messages.MessageBox(kAskOverwriteText, kReportCaption, kMbYesNo | kMbIconQuestion) !=
            kIdYes) {
            return SaveOutcome::Declined;
        }
        if (!CanReplace(path, existing)) {
            messages.MessageBox(kCannotOverwriteText, kReportCaption, kMbOk);
            return SaveOutcome::ReadOnly;
        }
    }

    ReplaceResult result;
    try {
        result = ReplaceFileContents(path, BuildHtmlReport(rows, time));
    } catch (const std::exception&) {
        result = {ReplaceResult::Stage::Create, ENOMEM};
    }
    if (result.ok()) {
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
    if (exists && result.stage == ReplaceResult::Stage::Rename &&
        (result.error == EPERM || result.error == EACCES)) {
        messages.MessageBox(kCannotOverwriteText, kReportCaption, kMbOk);
        return SaveOutcome::ReadOnly;
    }
    messages.MessageBox(kSaveFailedText, kReportCaption, kMbOk);
    return SaveOutcome::Failed;
}

}  // namespace talvik
