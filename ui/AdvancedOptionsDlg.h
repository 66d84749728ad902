// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The advanced options dialog: worker limit and network condition on two sliders.

#include <QDialog>

#include "scan/ScanTypes.h"
#include "ui/DialogRunner.h"

class QCheckBox;
class QKeyEvent;
class QShowEvent;
class QSlider;

namespace talvik {

class CAdvancedOptionsDlg final : public QDialog {
    Q_OBJECT

public:
    // Restore defaults gives 40 workers, not the 50 the main window starts with.
    static constexpr std::int32_t kDefaultWorkerLimit = 40;
    static constexpr std::int32_t kDefaultNetworkCondition = 1000;

    explicit CAdvancedOptionsDlg(QWidget* parent = nullptr);

    // The copy being edited: filled by the caller before the dialog is shown, read after accept.
    ScanSettings& settings() { return settings_; }
    const ScanSettings& settings() const { return settings_; }

    // Takes what the sliders show into the copy before closing, whichever way the dialog is
    // accepted.
    void accept() override;

    void OnAdvancedOk();
    void OnRestoreDefaults();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OnInitDialog();

    ScanSettings settings_;
    std::int32_t unpingedCheck_ = 0;
    bool initialised_ = false;
    QCheckBox* unpingedBox_ = nullptr;
    QSlider* netSlider_ = nullptr;
    QSlider* speedSlider_ = nullptr;
};

// The advanced options command: edits a copy of `settings` and takes it over only when the
// dialog is accepted. Returns whether it was.
bool EditAdvancedOptions(ScanSettings& settings, QWidget* owner,
                         const DialogRunner<CAdvancedOptionsDlg>& run = RunModal);

}  // namespace talvik
