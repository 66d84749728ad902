// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where a fixed-size window opens, kept free of widgets so it is tested on its own.

#include <QMargins>
#include <QPoint>
#include <QRect>
#include <QSize>

namespace talvik {

// The top-left corner of the frame around a window of `size` with `frame` margins: centred in
// `available` along each axis on which the frame fits, else at the available area's near edge,
// so the title bar and the menus stay reachable while only the far end is cut.
QPoint FrameTopLeft(const QSize& size, const QMargins& frame, const QRect& available);

}  // namespace talvik
