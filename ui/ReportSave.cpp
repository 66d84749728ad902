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
