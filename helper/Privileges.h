// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace talvik {

// Gives up everything a setuid or file-capability start brought: real user and group ids,
// no supplementary groups, no capabilities in any set, no way to regain any through exec,
// no ptrace access to the socket already open. False when any step did not hold.
bool DropPrivileges();

}  // namespace talvik
