// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one place where the program picks the real implementations of the engine's system ports.

#include <memory>
#include <string>

#include "arp/ArpSenders.h"
#include "os/AboutLibrary.h"
#include "scan/ArpWire.h"
#include "scan/Ports.h"

namespace talvik {

std::shared_ptr<IThreads> MakeThreads();
std::shared_ptr<INameResolver> MakeNameResolver();
// The wires of large runs and of listening: the packet socket where it opens, else the helper's;
// nothing, with `error` saying why, when neither can be had.
std::unique_ptr<IArpWires> MakeArpWires(std::string& error);
// MakeArpSender (platform/ArpSenders.h) chooses the ARP sender, MakeAboutLibrary
// (platform/AboutLibrary.h) the external about window.

}  // namespace talvik
