// SPDX-License-Identifier: GPL-3.0-or-later
// Host-name lookups of a scan start, off the user-interface thread and beside the probes: each
// name's worker waits for its own name only.

#include <string>

#include "scan/ScanRun.h"

namespace talvik {

bool NameLookup::Await(std::size_t index, std::stop_token cut,
                       std::optional<std::uint32_t>& found) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait(lock, cut, [&] { return index < done_.size() && done_[index]; })) {
        return false;
    }
    found = results_[index];
    return true;
}

void NameLookup::Publish(std::size_t index, std::optional<std::uint32_t> found) {
    {
        const std::lock_guard lock(mutex_);
        if (done_.size() <= index) {
            done_.resize(names.size() > index ? names.size() : index + 1);
            results_.resize(done_.size());
        }
        results_[index] = found;
        done_[index] = true;
    }
    ready_.notify_all();
}

unsigned LookupNames(const std::shared_ptr<NameLookup>& lookup) {
    std::stop_token stop = lookup->stop.get_token();
    for (;;) {
        const std::size_t index = lookup->next.fetch_add(1);
        if (index >= lookup->names.size() || stop.stop_requested()) {
            break;
        }
        std::optional<std::uint32_t> found;
        try {
            // The row keeps its blanks as typed; the name itself is what gets looked up.
            const std::string& name = lookup->names[index];
            const std::size_t first = name.find_first_not_of(" \t");
            const std::size_t last = name.find_last_not_of(" \t");
            found = lookup->resolver->Resolve(
                first == std::string::npos ? std::string() : name.substr(first, last - first + 1));
        } catch (...) {
            found.reset();
        }
        if (stop.stop_requested()) {
            break;
        }
        // Posted before the worker hears of it, so the row shows the lookup before its result.
        try {
            lookup->ui->Post([guard = lookup->guard, generation = lookup->generation,
                              record = lookup->records[index], row = lookup->rows[index], found] {
                EngineGuard::ApplyName(guard, generation, record, row, found);
            });
        } catch (...) {
        }
        lookup->Publish(index, found);
    }
    return 0;
}

}  // namespace talvik
