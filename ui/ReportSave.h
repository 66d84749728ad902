// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The window's side of saving the scan report: the save-file question and the rows as they
// stand when the command runs.

#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "report/HtmlReport.h"
#include "report/ResultExport.h"
#include "scan/Ports.h"

class QFileDialog;
class QWidget;

namespace talvik {

// Asks for the report's file name; nothing when the user cancels. Tests script it.
class ISaveFileDialog {
public:
    virtual ~ISaveFileDialog() = default;
    virtual std::optional<QString> GetSaveFileName(QWidget* owner) = 0;
};

// The toolkit's save dialog with the "Html file" filter and the initial name "Result". It asks
// nothing about an existing file: the window asks about the file it really writes.
class QtSaveFileDialog final : public ISaveFileDialog {
public:
    std::optional<QString> GetSaveFileName(QWidget* owner) override;
    // The dialog as shown: in the folder last saved to during this run, at first the home folder
    // (the working folder is often one the user cannot write).
    static std::unique_ptr<QFileDialog> Make(QWidget* owner);

private:
    static QString& LastFolder();
};

// Asks for the export's file name; nothing when the user cancels. Tests script it.
class IExportFileDialog {
public:
    virtual ~IExportFileDialog() = default;
    virtual std::optional<QString> GetExportFileName(QWidget* owner) = 0;
};

// The toolkit's save dialog with the filters "CSV (*.csv)" and "JSON (*.json)" and the initial
// name "Result"; the name it gives ends in the chosen filter's extension. Like the report's, it
// asks nothing about an existing file.
class QtExportFileDialog final : public IExportFileDialog {
public:
    std::optional<QString> GetExportFileName(QWidget* owner) override;
    static std::unique_ptr<QFileDialog> Make(QWidget* owner);

private:
    static QString& LastFolder();
};

// The name the export goes to: `chosen` as it is when it ends in .csv or .json (any case),
// else with the extension of the chosen filter added.
QString ExportNameFor(const QString& chosen, bool jsonFilter);

// Whether an export name asks for JSON rather than CSV.
bool IsJsonName(const QString& name);

// Every row of the list, read in one go so that results arriving during a scan cannot change the
// report half way.
std::vector<ReportRow> ReportRowsOf(const IResultList& list);

// The file the report is written to: the chosen name with ".Html" added, unless it already ends
// in ".html" in any case (the user chose that very file).
std::string ReportPathFor(const QString& chosen);

}  // namespace talvik
