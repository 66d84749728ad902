// SPDX-License-Identifier: GPL-3.0-or-later
// talvik-scan: one ARP scan of the local segment from a shell, on the window's engine and
// senders, with no display needed.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/Language.h"
#include "cli/Options.h"
#include "cli/ScanCommand.h"
#include "cli/WatchCommand.h"
#include "os/StandardDescriptors.h"
#include "talvik/Version.h"

int main(int argc, char** argv) {
    using namespace talvik::cli;
    // First of all: the packet socket must never become our standard output or error.
    const auto closed = talvik::KeepStandardDescriptorsTaken();
    if (!closed) {
        return kExitSomeNotAsked;
    }
    // A closed standard output now reads /dev/null; the result has nowhere to go all the same.
    const bool outputClosed = (*closed)[STDOUT_FILENO];
    SetUpLanguage();
    // Blocked before any thread starts, so every thread inherits it and the scan alone takes
    // them, ending the scan cleanly rather than dying with the helper half-way.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const ParsedCommand parsed = ParseCommandLine(args);
    int status = kExitAllAsked;
    switch (parsed.action) {
        case ParsedCommand::Action::Help:
            status = WriteResult(outputClosed ? nullptr : stdout, UsageText(), stderr)
                         ? kExitAllAsked
                         : kExitWriteFailed;
            break;
        case ParsedCommand::Action::Version:
            status = WriteResult(outputClosed ? nullptr : stdout,
                                 std::string("talvik-scan ") + talvik::kVersion + "\n", stderr)
                         ? kExitAllAsked
                         : kExitWriteFailed;
            break;
        case ParsedCommand::Action::BadUsage:
            std::fprintf(stderr, Tr("talvik-scan: %s (see talvik-scan --help)\n"),
                         parsed.error.c_str());
            status = kExitBadUsage;
            break;
        case ParsedCommand::Action::Scan:
            if (parsed.options.watch) {
                status = RunWatch(parsed.options, outputClosed ? nullptr : stdout, stderr,
                                  stopSignals, WatchPortsOfSystem());
                break;
            }
            status = RunScan(parsed.options, outputClosed ? nullptr : stdout, stderr,
                             isatty(STDERR_FILENO) == 1, stopSignals);
            break;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    // Name lookups still waiting on a slow resolver are not waited for.
    std::_Exit(status);
}
