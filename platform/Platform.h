// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one place where the program picks the real implementations of the engine's system ports.

#include <memory>

#include "arp/ArpSenders.h"
#include "os/AboutLibrary.h"
#include "scan/Ports.h"

namespace talvik {

std::shared_ptr<IThreads> MakeThreads();
std::shared_ptr<INameResolver> MakeNameResolver();
// MakeArpSender (platform/ArpSenders.h) chooses the ARP sender, MakeAboutLibrary
// (platform/AboutLibrary.h) the external about window.

}  // namespace talvik
