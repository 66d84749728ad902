// SPDX-License-Identifier: GPL-3.0-or-later
// Saves the record it is handed to the file named by TALVIK_ABOUT_RECORD.
#include <stdio.h>
#include <stdlib.h>

enum { kRecordSize = 1880 };

__attribute__((visibility("default"))) int zucDoSAbout(const void* info) {
    const char* path = getenv("TALVIK_ABOUT_RECORD");
    if (path == NULL) {
        return -1;
    }
    FILE* file = fopen(path, "wb");
    if (file == NULL) {
        return -1;
    }
    const size_t written = fwrite(info, 1, kRecordSize, file);
    fclose(file);
    // Any result must be ignored by the caller.
    return written == kRecordSize ? 0x7A1 : -1;
}
