// An open VDI image: its header, block map and block I/O.
#pragma once

#include <cstdint>

#include "image/format.h"
#include "os/os.h"

struct vdi_handle {
    const char* name;  // as typed; used in every message about this file
    os_file* file;
    uint32_t offset_blocks;
    uint32_t offset_data;
    uint32_t block_size;
    uint32_t blocks;     // blocks_in_hdd
    uint8_t* header;     // HEADER_BYTES, exactly as on disk
    uint8_t* block_map;  // 4 * blocks bytes, entries as on disk; may be null
};

// Opens or creates the image file. Null on failure, already reported.
vdi_handle* open_vdi(const char* name, int32_t mode);
void close_vdi(vdi_handle* handle);

// Reads and checks the header area, then copies the block layout into the
// handle. Nonzero on success; failures are reported here.
int read_header(vdi_handle* handle);
int write_header(vdi_handle* handle);

// Header fields, converted from and to little-endian.
inline uint32_t get_header32(const vdi_handle* handle, uint32_t offset) {
    return decode_le32(handle->header + offset);
}
inline uint64_t get_header64(const vdi_handle* handle, uint32_t offset) {
    return decode_le64(handle->header + offset);
}
inline void set_header32(vdi_handle* handle, uint32_t offset, uint32_t value) {
    encode_le32(handle->header + offset, value);
}
inline void set_header64(vdi_handle* handle, uint32_t offset, uint64_t value) {
    encode_le64(handle->header + offset, value);
}

// The header text check: the identifying text must be a zero-terminated
// printable line within its 64 bytes and contain "VirtualBox Disk Image".
bool file_info_is_valid(const uint8_t* file_info);

// Sets up a new image's numbers and header for the given block count,
// type and disk size, with blocks_allocated as given.
void init_new_header(vdi_handle* handle, uint32_t blocks, uint32_t image_type,
                     uint64_t disk_size, uint32_t blocks_allocated);

// Block map entries, kept in memory in file byte order.
inline uint32_t get_map_entry(const uint8_t* map, uint32_t index) {
    return decode_le32(map + 4 * static_cast<uint64_t>(index));
}
inline void set_map_entry(uint8_t* map, uint32_t index, uint32_t value) {
    encode_le32(map + 4 * static_cast<uint64_t>(index), value);
}

int read_block_map(vdi_handle* handle);
int write_block_map(vdi_handle* handle);
// Reads or writes disk block index (its map entry must not be BLOCK_FREE).
int read_block(vdi_handle* handle, uint8_t* buffer, uint32_t index);
int write_block(vdi_handle* handle, const uint8_t* buffer, uint32_t index);
// Writes the content of disk block index into data place `place`, whatever
// the map says; failures name disk block index.
int write_block_to(vdi_handle* handle, const uint8_t* buffer, uint32_t index, uint32_t place);

// Refuses block sizes the commands cannot hold in memory (0 and beyond
// MAX_BLOCK_SIZE) with a message naming the image.
int check_block_size(const vdi_handle* handle);

// True when every byte is zero.
bool block_is_zero(const uint8_t* buffer, uint32_t size);
