// SPDX-License-Identifier: GPL-3.0-or-later
#include "names/HostNameChain.h"

#include "names/AvahiNames.h"
#include "names/NetBiosNames.h"

namespace talvik {

std::shared_ptr<IHostNames> MakeHostNames() {
    return std::make_shared<FirstHostName>(std::vector<std::shared_ptr<IHostNames>>{
        std::make_shared<ReverseLookupNames>(), std::make_shared<AvahiNames>(),
        std::make_shared<NetBiosNames>()});
}

}  // namespace talvik
