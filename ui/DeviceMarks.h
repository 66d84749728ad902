// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The marks a result row's MAC cell carries once the device memory has compared a scan with
// what it knew: a device never seen on this network, and an address that answered with another
// MAC than last time. Both differ from the warning of two MACs answering at once.

#include <QIcon>

namespace talvik {

QIcon NewDeviceMark();
QIcon ChangedMacMark();

}  // namespace talvik
