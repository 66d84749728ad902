// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Saving the report: replacing a file without ever leaving it half written, and the save
// command's questions and messages once the file name is chosen.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "report/HtmlReport.h"
#include "scan/Ports.h"
#include "talvik/Version.h"

namespace talvik {

inline constexpr const char* kReportCaption = kProductName;
inline constexpr const char* kAskOverwriteText = "文件已存在，是否覆盖原文件!";
inline constexpr const char* kCannotOverwriteText = "原文件无法被覆盖，请检查该文件是否为只读!";
inline constexpr const char* kSaveFailedText = "保存文件失败!";
// Not a question of the file's mode, so not the read-only message: in a shared folder such as /tmp
// another user's file is theirs to replace.
inline constexpr const char* kOthersFileText =
    "原文件属于其他用户，且位于共享文件夹中，不能覆盖。请换一个文件名保存。";
inline constexpr const char* kDiskFullText = "在存取 %1 时磁盘已满。";

// Where replacing a file stopped, and the errno it stopped with.
struct ReplaceResult {
    enum class Stage { Done, Create, Write, Replace };
    Stage stage = Stage::Done;
    int error = 0;
    bool Ok() const { return stage == Stage::Done; }
};

// Puts `bytes` in the file `path` finally names (symbolic links are followed and stay links):
// `path` holds either what it held before or all of `bytes`, and no temporary stays behind. A
// new file gets the usual permissions. A replaced file keeps its owner, group, mode and access
// list: a temporary beside it is given them, synced and renamed over it; where that cannot be
// (the file is another user's, or has more hard links), the file is written over in place and
// its old contents are put back if that fails. Only a regular file is replaced: anything else at
// the final name (a device, a FIFO, a socket, a folder) stops it.
ReplaceResult ReplaceFileContents(const std::string& path, std::string_view bytes);

enum class SaveOutcome {
    Saved,
    Declined,    // the file exists and the user kept it
    ReadOnly,    // the file exists and cannot be replaced
    OthersFile,  // the file is another user's in a shared folder
    DiskFull,
    Failed,
};

// Writes the rows as the report at `path`, asking before it replaces a file, and tells the user
// through `messages` about every failure. There is no message on success.
SaveOutcome SaveHtmlReport(const std::string& path, const std::vector<ReportRow>& rows,
                           const ReportTime& time, IMessageBox& messages);

// The same questions and messages for a file of any other bytes, made by `build` once the user
// has agreed to replace what is there.
SaveOutcome SaveAsking(const std::string& path, const std::function<std::string()>& build,
                       IMessageBox& messages);

}  // namespace talvik
