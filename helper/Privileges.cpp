// SPDX-License-Identifier: GPL-3.0-or-later
#include "helper/Privileges.h"

#include <grp.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <memory>

namespace talvik {

bool DropPrivileges() {
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::geteuid() == 0 && uid != 0) {
        // Groups first: once the ids are the user's, setgroups is no longer allowed.
        if (::setgroups(0, nullptr) != 0) {
            return false;
        }
    }
    if (::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0) {
        return false;
    }
    // Dropping from the bounding set needs CAP_SETPCAP, which only a root start has; without
    // it no-new-privs below keeps exec from granting anything anyway.
    for (int cap = 0; cap <= CAP_LAST_CAP; ++cap) {
        ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    }
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    const std::unique_ptr<std::remove_pointer_t<cap_t>, decltype(&cap_free)> none(cap_init(),
                                                                                  &cap_free);
    if (!none || cap_set_proc(none.get()) != 0) {
        return false;
    }
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
        return false;
    }

    const std::unique_ptr<std::remove_pointer_t<cap_t>, decltype(&cap_free)> now(cap_get_proc(),
                                                                                 &cap_free);
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    if (!now || cap_compare(now.get(), none.get()) != 0 || ::getresuid(&ruid, &euid, &suid) != 0 ||
        ::getresgid(&rgid, &egid, &sgid) != 0) {
        return false;
    }
    return ruid == uid && euid == uid && suid == uid && rgid == gid && egid == gid && sgid == gid;
}

}  // namespace talvik
