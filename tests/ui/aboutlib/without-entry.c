// SPDX-License-Identifier: GPL-3.0-or-later
// Loads like the about library but lacks its entry.
__attribute__((visibility("default"))) int zucSomethingElse(void) {
    return 1;
}
