// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Thread start and waits over std::thread, with the wait semantics the engine expects.

#include "scan/Ports.h"

namespace talvik {

class PosixThreads final : public IThreads {
public:
    ThreadHandle BeginThread(std::function<unsigned()> procedure) override;
    std::uint32_t WaitForMultipleObjects(std::uint32_t count, const ThreadHandle* handles,
                                         bool waitAll, std::uint32_t timeoutMs) override;
    std::uint32_t GetLastError() override;
};

}  // namespace talvik
