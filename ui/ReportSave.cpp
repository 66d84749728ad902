#include "ui/ReportSave.h"

#include <QFile>
#include <QFileDialog>

namespace talvik {

std::optional<QString> QtSaveFileDialog::GetSaveFileName(QWidget* owner) {
    const QString chosen = QFileDialog::getSaveFileName(owner, QString(), QStringLiteral("Result"),
                                                        QStringLiteral("Html file (*.html)"));
    if (chosen.isEmpty()) {
        return std::nullopt;
    }
    return chosen;
}

std::vector<ReportRow> ReportRowsOf(const IResultList& list) {
    std::vector<ReportRow> rows;
    for (int row = 0; row < list.GetItemCount(); ++row) {
        rows.push_back(
            {list.GetItemText(row, 0), list.GetItemText(row, 1), list.GetItemText(row, 2)});
    }
    return rows;
}

std::string ReportPathFor(const QString& chosen) {
    return QFile::encodeName(chosen + QStringLiteral(".Html")).toStdString();
}

}  // namespace talvik
