// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command's side of the device memory: the devices it knows told to the sender before a
// scan, and each network of a run written down under its own identity after it.

#include <atomic>
#include <thread>

#include "cli/Options.h"
#include "report/ResultExport.h"
#include "scan/Ports.h"
#include "store/DeviceStore.h"

namespace talvik::cli {

// What is remembered of each host, and this run written down unless it was cut short, each
// network of the run apart. Memory is on where its file is; --remember turns it on,
// --no-memory leaves it untouched for this run. Gives whether memory was wanted and failed.
bool AddMemory(ExportResult& result, const ScanOptions& options, bool interrupted);

// The interface the kernel would ask `address` on; nothing when it is asked on none.
std::optional<std::string> InterfaceOf(std::uint32_t address);

// Tells the sender the devices the store knows on the targets' network, so that dozing ones are
// also asked by their own MAC. It runs beside the scan: only a read, which never waits for
// another program's write, but the scan need not wait for it either. Memory that is off or
// cannot be read tells nothing; what went wrong is said after the scan, when the store is
// opened again, except a damaged store kept aside here, which is said from here.
class KnownDevicesRead final {
public:
    KnownDevicesRead(IArpSender& sender, const ScanOptions& options)
        : thread_([this, &sender, targets = options.targets, off = options.noMemory] {
              if (!off) {
                  Read(sender, targets);
              }
              done_ = true;
          }) {}
    ~KnownDevicesRead() { Finish(); }
    KnownDevicesRead(const KnownDevicesRead&) = delete;
    KnownDevicesRead& operator=(const KnownDevicesRead&) = delete;

    bool Done() const { return done_; }
    void Finish() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // Not Ok: the damaged store that was kept aside.
    const store::StoreStatus& Said() const { return said_; }

private:
    void Read(IArpSender& sender, const TargetList& targets);

    store::StoreStatus said_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

}  // namespace talvik::cli
