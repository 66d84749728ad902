// SPDX-License-Identifier: GPL-3.0-or-later
// talvik-arp: sends ARP requests for the Talvik program that started it and reports the
// answers, or with --wire hears one interface's ARP for it. It opens one packet socket while it
// may, drops every privilege, and then serves the protocol of platform/HelperProtocol.h on its
// standard input and output until the program closes them or exits.

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "arp/ArpHelperServer.h"
#include "arp/ArpWireServer.h"
#include "arp/HelperProtocol.h"
#include "arp/PacketArpSender.h"
#include "arp/PacketArpWire.h"
#include "helper/Privileges.h"
#include "os/StandardDescriptors.h"

#ifndef SYS_close_range
#include <sys/syscall.h>
#endif

namespace {

void Greet(std::uint32_t status) {
    const auto bytes = talvik::EncodeHelperReply(talvik::HelperReply{0, status, {}});
    [[maybe_unused]] const ssize_t sent =
        ::send(STDOUT_FILENO, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

int Usage() {
    std::fputs(
        "usage: talvik-arp [--schedule OFFSETS/GIVEUP | --wire]\n"
        "Started by Talvik; speaks to it on standard input and output.\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Before the packet socket, which must never be what our standard error writes to.
    if (!talvik::KeepStandardDescriptorsTaken()) {
        return 1;
    }
    // Ends with the program that started it, even if that one is killed.
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) {
        return 1;
    }
    // Nothing inherited but the channel and standard error.
    ::syscall(SYS_close_range, 3u, ~0u, 0u);

    talvik::PacketArpSender::Options options;
    const bool wire = argc == 2 && std::string_view(argv[1]) == "--wire";
    if (argc == 3 && std::string_view(argv[1]) == "--schedule") {
        const auto schedule = talvik::ArpSchedule::FromText(argv[2]);
        if (!schedule) {
            return Usage();
        }
        options.schedule = *schedule;
    } else if (argc != 1 && !wire) {
        return Usage();
    }
    // The channel must be a socket: that is how the program starts us, and it keeps a terminal
    // or file from being mistaken for one.
    int type = 0;
    socklen_t size = sizeof type;
    if (::getsockopt(STDIN_FILENO, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM) {
        return Usage();
    }

    talvik::UniqueFd socket =
        wire ? talvik::PacketArpWire::OpenSocket() : talvik::PacketArpSender::OpenSocket();
    const int openError = errno;
    if (!talvik::DropPrivileges()) {
        Greet(talvik::kErrorGenFailure);
        return 1;
    }
    if (!socket.Valid()) {
        // Without the capability the kernel says EPERM; a security module that refuses the
        // socket says EACCES.
        Greet(openError == EPERM    ? talvik::kErrorNotSupported
              : openError == EACCES ? talvik::kErrorAccessDenied
                                    : talvik::kErrorGenFailure);
        std::fprintf(stderr, "talvik-arp: cannot open the packet socket: %s\n",
                     std::strerror(openError));
        return 1;
    }
    if (wire) {
        Greet(talvik::kNoError);
        return talvik::ArpWireServer(STDIN_FILENO, std::move(socket)).Run() ? 0 : 3;
    }
    auto sender = talvik::PacketArpSender::Create(std::move(socket), options);
    if (!sender) {
        Greet(talvik::kErrorGenFailure);
        std::fputs("talvik-arp: cannot start its receiving thread\n", stderr);
        return 1;
    }
    talvik::ArpHelperServer server(STDIN_FILENO, *sender);
    // It greets only once it can take up as many probes at once as the engine sends.
    return server.Run([](bool serving) {
        Greet(serving ? talvik::kNoError : talvik::kErrorGenFailure);
        if (!serving) {
            std::fputs("talvik-arp: cannot start its threads\n", stderr);
        }
    })
               ? 0
               : 3;
}
