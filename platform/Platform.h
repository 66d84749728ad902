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
// Opens the wires of interfaces: a packet socket of this process where one can be opened (root,
// or CAP_NET_RAW), else through the helper talvik-arp (at `helperPath`, or where MakeArpSender
// looks for it); `kind` may insist on either. Nothing, with `error` one line that says why, when
// neither can be had: then nothing can be heard. `chosen`, when given, says what was made.
std::unique_ptr<IArpWires> MakeArpWires(std::string& error,
                                        ArpSenderKind kind = ArpSenderKind::Automatic,
                                        const std::string& helperPath = {},
                                        ArpSenderKind* chosen = nullptr);
// MakeArpSender (platform/ArpSenders.h) chooses the ARP sender, MakeAboutLibrary
// (platform/AboutLibrary.h) the external about window.

}  // namespace talvik
