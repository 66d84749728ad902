// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The built-in about dialog and the two about commands of the main window.

#include <QDialog>
#include <cstdint>
#include <string>

#include "ui/DialogRunner.h"

namespace talvik {

class IAboutLibrary;

class CAboutDlg final : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

// The way the program asks the network, named in the built-in dialog; set once at start.
void SetAboutArpWay(const std::string& way);

// The about-software command: the external library's about window when it can be loaded and
// has its entry, the built-in dialog otherwise, without a message either way.
void ShowAboutSoftware(IAboutLibrary& library, std::uint32_t mainIcon, QWidget* owner,
                       const DialogRunner<CAboutDlg>& run = RunModal);

// The window menu's about item; it never consults the external library.
void ShowBuiltInAbout(QWidget* owner, const DialogRunner<CAboutDlg>& run = RunModal);

}  // namespace talvik
