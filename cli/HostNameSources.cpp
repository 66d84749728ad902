// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/HostNameSources.h"

#ifdef TALVIK_SCAN_SHARED_NAMES
#include <QCoreApplication>

#include "platform/HostNameChain.h"
#endif

namespace talvik::cli {

std::shared_ptr<IHostNames> HostNameSources() {
#ifdef TALVIK_SCAN_SHARED_NAMES
    // Qt's D-Bus client wants an application object; it lives until the process ends, and
    // only when names are asked, so a scan without them does not load Qt's plugins.
    if (QCoreApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "talvik-scan";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
    }
    return MakeHostNames();
#else
    return std::make_shared<ReverseLookupNames>();
#endif
}

}  // namespace talvik::cli
