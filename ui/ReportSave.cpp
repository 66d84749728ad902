// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/ReportSave.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>

namespace talvik {

QString& QtSaveFileDialog::LastFolder() {
    static QString folder;
    return folder;
}

std::unique_ptr<QFileDialog> QtSaveFileDialog::Make(QWidget* owner) {
    const QString folder = LastFolder().isEmpty() ? QDir::homePath() : LastFolder();
    auto dialog = std::make_unique<QFileDialog>(owner, QString(), folder,
                                                QStringLiteral("Html file (*.html)"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setOption(QFileDialog::DontConfirmOverwrite);
    dialog->selectFile(QStringLiteral("Result"));
    return dialog;
}

std::optional<QString> QtSaveFileDialog::GetSaveFileName(QWidget* owner) {
    const std::unique_ptr<QFileDialog> dialog = Make(owner);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    const QString chosen = dialog->selectedFiles().constFirst();
    LastFolder() = QFileInfo(chosen).absolutePath();
    return chosen;
}

QString& QtExportFileDialog::LastFolder() {
    static QString folder;
    return folder;
}

namespace {

const QString kCsvFilter = QStringLiteral("CSV (*.csv)");
const QString kJsonFilter = QStringLiteral("JSON (*.json)");

}  // namespace

std::unique_ptr<QFileDialog> QtExportFileDialog::Make(QWidget* owner) {
    const QString folder = LastFolder().isEmpty() ? QDir::homePath() : LastFolder();
    auto dialog = std::make_unique<QFileDialog>(owner, QStringLiteral("导出结果"), folder,
                                                kCsvFilter + QStringLiteral(";;") + kJsonFilter);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setOption(QFileDialog::DontConfirmOverwrite);
    dialog->selectFile(QStringLiteral("Result"));
    return dialog;
}

std::optional<QString> QtExportFileDialog::GetExportFileName(QWidget* owner) {
    const std::unique_ptr<QFileDialog> dialog = Make(owner);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    const QString chosen = dialog->selectedFiles().constFirst();
    LastFolder() = QFileInfo(chosen).absolutePath();
    return ExportNameFor(chosen, dialog->selectedNameFilter() == kJsonFilter);
}

QString ExportNameFor(const QString& chosen, bool jsonFilter) {
    if (chosen.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive) ||
        chosen.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive)) {
        return chosen;
    }
    return chosen + (jsonFilter ? QStringLiteral(".json") : QStringLiteral(".csv"));
}

bool IsJsonName(const QString& name) {
    return name.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive);
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
    const bool hasExtension = chosen.endsWith(QStringLiteral(".html"), Qt::CaseInsensitive);
    return QFile::encodeName(hasExtension ? chosen : chosen + QStringLiteral(".Html"))
        .toStdString();
}

}  // namespace talvik
