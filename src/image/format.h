// The VDI 1.1 file layout: a 512-byte header area, a block map of 32-bit
// entries, and a data area of equal-sized blocks. Every number in the file
// is little-endian and is read and written here with byte shifts, so the
// code is right whatever the byte order of the machine.
#pragma once

#include <cstdint>

constexpr uint32_t HEADER_BYTES = 512;
constexpr uint32_t BLOCK_FREE = 0xFFFFFFFFu;  // same bytes in either order
constexpr uint32_t DEFAULT_BLOCK_SIZE = 0x100000;
constexpr uint32_t IMAGE_TYPE_DYNAMIC = 1;
constexpr uint32_t IMAGE_TYPE_FIXED = 2;
constexpr uint32_t VDI_SIGNATURE = 0xBEDA107Fu;
constexpr uint32_t VDI_VERSION_1_1 = 0x00010001u;
constexpr uint32_t VDI_HEADER_SIZE = 400;
constexpr uint32_t VDI_SECTOR_SIZE = 512;
constexpr const char* VDI_FILE_INFO = "<<< Sun VirtualBox Disk Image >>>\n";

// Header field offsets.
constexpr uint32_t HDR_FILE_INFO = 0x000;  // 64-byte text
constexpr uint32_t HDR_SIGNATURE = 0x040;
constexpr uint32_t HDR_VERSION = 0x044;
constexpr uint32_t HDR_HEADER_SIZE = 0x048;
constexpr uint32_t HDR_IMAGE_TYPE = 0x04C;
constexpr uint32_t HDR_IMAGE_FLAGS = 0x050;
constexpr uint32_t HDR_DESCRIPTION = 0x054;  // 256-byte text
constexpr uint32_t HDR_OFFSET_BLOCKS = 0x154;
constexpr uint32_t HDR_OFFSET_DATA = 0x158;
constexpr uint32_t HDR_CYLINDERS = 0x15C;
constexpr uint32_t HDR_HEADS = 0x160;
constexpr uint32_t HDR_SECTORS = 0x164;
constexpr uint32_t HDR_SECTOR_SIZE = 0x168;
constexpr uint32_t HDR_DISK_SIZE = 0x170;  // 64-bit
constexpr uint32_t HDR_BLOCK_SIZE = 0x178;
constexpr uint32_t HDR_BLOCK_EXTRA = 0x17C;
constexpr uint32_t HDR_BLOCKS_IN_HDD = 0x180;
constexpr uint32_t HDR_BLOCKS_ALLOCATED = 0x184;

constexpr uint32_t FILE_INFO_BYTES = 64;
constexpr uint32_t DESCRIPTION_BYTES = 256;

struct header_field {
    uint32_t offset;
    uint32_t width;
    const char* name;
};

// The fields the program reads or sets; header bytes outside them are zero
// in the images it creates.
constexpr header_field HEADER_FIELDS[] = {
    {HDR_FILE_INFO, FILE_INFO_BYTES, "file_info"},
    {HDR_SIGNATURE, 4, "signature"},
    {HDR_VERSION, 4, "version"},
    {HDR_HEADER_SIZE, 4, "header_size"},
    {HDR_IMAGE_TYPE, 4, "image_type"},
    {HDR_IMAGE_FLAGS, 4, "image_flags"},
    {HDR_DESCRIPTION, DESCRIPTION_BYTES, "description"},
    {HDR_OFFSET_BLOCKS, 4, "offset_blocks"},
    {HDR_OFFSET_DATA, 4, "offset_data"},
    {HDR_CYLINDERS, 4, "cylinders"},
    {HDR_HEADS, 4, "heads"},
    {HDR_SECTORS, 4, "sectors"},
    {HDR_SECTOR_SIZE, 4, "sector_size"},
    {HDR_DISK_SIZE, 8, "disk_size"},
    {HDR_BLOCK_SIZE, 4, "block_size"},
    {HDR_BLOCK_EXTRA, 4, "block_extra"},
    {HDR_BLOCKS_IN_HDD, 4, "blocks_in_hdd"},
    {HDR_BLOCKS_ALLOCATED, 4, "blocks_allocated"},
};

// The most disk blocks an image can have: beyond it the map length or
// offset_data no longer fits in 32 bits (just under 1048576 GiB at the
// default block size).
constexpr uint32_t MAX_BLOCKS = 0x3FFFFF00u;

// Block sizes beyond this are refused by the commands that hold a block in
// memory, so that a damaged header cannot ask for gigabytes; images in use
// have 1 MiB.
constexpr uint32_t MAX_BLOCK_SIZE = 64u << 20;

inline uint32_t decode_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t decode_le64(const uint8_t* p) {
    return static_cast<uint64_t>(decode_le32(p)) | static_cast<uint64_t>(decode_le32(p + 4)) << 32;
}

inline void encode_le32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline void encode_le64(uint8_t* p, uint64_t v) {
    encode_le32(p, static_cast<uint32_t>(v));
    encode_le32(p + 4, static_cast<uint32_t>(v >> 32));
}

// offset_data for a map of the given number of blocks: the header area and
// the map rounded up to whole 512-byte sectors. blocks must not exceed
// MAX_BLOCKS.
inline uint32_t data_offset_for(uint32_t blocks) {
    return HEADER_BYTES + ((4 * blocks + 511) & ~511u);
}
