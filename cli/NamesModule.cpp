// SPDX-License-Identifier: GPL-3.0-or-later
// The window's chain of host names as a module that talvik-scan loads only once it asks names:
// Qt Core and D-Bus (and their ICU) stay out of its start-up and out of scans without names.

#include <QCoreApplication>

#include "names/HostNameChain.h"

extern "C" __attribute__((visibility("default"))) talvik::IHostNames* talvik_scan_host_names() {
    // Qt's D-Bus client wants an application object; both live until the process ends.
    if (QCoreApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "talvik-scan";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
    }
    static const std::shared_ptr<talvik::IHostNames> names = talvik::MakeHostNames();
    return names.get();
}
