#pragma once
// The window's side of saving the scan report: the save-file question and the rows as they
// stand when the command runs.

#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "report/HtmlReport.h"
#include "scan/Ports.h"

class QWidget;

namespace talvik {

// Asks for the report's file name; nothing when the user cancels. Tests script it.
class ISaveFileDialog {
public:
    virtual ~ISaveFileDialog() = default;
    virtual std::optional<QString> GetSaveFileName(QWidget* owner) = 0;
};

// The toolkit's save dialog with the "Html file" filter, the initial name "Result" and the
// toolkit's own question before an existing name is chosen.
class QtSaveFileDialog final : public ISaveFileDialog {
public:
    std::optional<QString> GetSaveFileName(QWidget* owner) override;
};

// Every row of the list, read in one go so that results arriving during a scan cannot change the
// report half way.
std::vector<ReportRow> ReportRowsOf(const IResultList& list);

// The file the report is written to: the chosen name with ".Html" added, whatever it ends in.
std::string ReportPathFor(const QString& chosen);

}  // namespace talvik
