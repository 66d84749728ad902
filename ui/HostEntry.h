// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The text of a host-name row, kept free of widgets so it is tested on its own.

#include <QString>

namespace talvik {

// The row for the text of the host-name field: as typed, blanks included, but without line
// breaks (a name copied from a terminal brings its own). Breaks at either end are dropped; a
// break between two pieces of text becomes one blank, so nothing typed is lost and the row
// stays one line.
QString HostRowText(const QString& typed);

}  // namespace talvik
