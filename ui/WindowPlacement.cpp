// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/WindowPlacement.h"

#include <algorithm>

namespace talvik {

namespace {

int Place(int length, int start, int room) {
    return start + std::max(0, (room - length) / 2);
}

}  // namespace

QPoint FrameTopLeft(const QSize& size, const QMargins& frame, const QRect& available) {
    const QSize outer = size.grownBy(frame);
    return {Place(outer.width(), available.left(), available.width()),
            Place(outer.height(), available.top(), available.height())};
}

}  // namespace talvik
