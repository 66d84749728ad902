// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Platform.h"

#include "names/GetaddrinfoResolver.h"
#include "os/PosixThreads.h"

namespace talvik {

std::shared_ptr<IThreads> MakeThreads() {
    return std::make_shared<PosixThreads>();
}

std::shared_ptr<INameResolver> MakeNameResolver() {
    return std::make_shared<GetaddrinfoResolver>();
}

}  // namespace talvik
