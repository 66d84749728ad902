// SPDX-License-Identifier: GPL-3.0-or-later
// Host-name lookups of a scan start, off the user-interface thread; the last thread out
// posts the results.

#include <string>

#include "scan/ScanRun.h"

namespace talvik {

unsigned LookupNames(const std::shared_ptr<NameLookup>& lookup) {
    std::stop_token stop = lookup->stop.get_token();
    for (;;) {
        const std::size_t index = lookup->next.fetch_add(1);
        if (index >= lookup->names.size() || stop.stop_requested()) {
            break;
        }
        try {
            // The row keeps its blanks as typed; the name itself is what gets looked up.
            const std::string& name = lookup->names[index];
            const std::size_t first = name.find_first_not_of(" \t");
            const std::size_t last = name.find_last_not_of(" \t");
            lookup->results[index] = lookup->resolver->Resolve(
                first == std::string::npos ? std::string() : name.substr(first, last - first + 1));
        } catch (...) {
            lookup->results[index].reset();
        }
    }
    LeaveLookup(lookup);
    return 0;
}

void LeaveLookup(const std::shared_ptr<NameLookup>& lookup) {
    if (lookup->holders.fetch_sub(1, std::memory_order_acq_rel) != 1 ||
        lookup->stop.stop_requested()) {
        return;
    }
    try {
        // The closure holds the lookup; the lookup must not hold the queue it waits in.
        const std::shared_ptr<IUiPoster> ui = std::move(lookup->ui);
        ui->Post([guard = lookup->guard, generation = lookup->generation, lookup] {
            EngineGuard::LookupDone(guard, generation, lookup);
        });
    } catch (...) {
    }
}

}  // namespace talvik
