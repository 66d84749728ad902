// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Host-name lookup through the system resolver.

#include "scan/Ports.h"

namespace talvik {

class GetaddrinfoResolver final : public INameResolver {
public:
    std::optional<std::uint32_t> Resolve(const std::string& name) override;
};

}  // namespace talvik
