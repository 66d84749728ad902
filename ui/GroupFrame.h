// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The look of the dialogs' group frames.

class QGroupBox;

namespace talvik {

// Draws the frame's top line half a text line down, as the dialog templates expect, with the
// title (if any) on that line `titleLeft` pixels in; the default look puts the title above the
// frame and the frame through the first row of controls.
void PutTitleOnFrameLine(QGroupBox* group, int titleLeft);

}  // namespace talvik
