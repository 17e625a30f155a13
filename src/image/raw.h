// An open raw disk file: the disk's bytes from byte 0, with no header.
#pragma once

#include "os/os.h"

struct raw_handle {
    const char* name;  // as typed; not copied
    os_file* file;
};

// Opens the raw file. Null on failure, already reported.
raw_handle* open_raw(const char* name, int32_t mode);
void close_raw(raw_handle* handle);
