// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How a command shows its modal dialog. The window passes the real modal loop; tests pass a
// runner that works the dialog the way a user would.

#include <QDialog>
#include <functional>

namespace talvik {

template <typename Dialog>
using DialogRunner = std::function<int(Dialog&)>;

inline int RunModal(QDialog& dialog) {
    return dialog.exec();
}

}  // namespace talvik
