// Block map and block I/O: the only code that computes positions inside the
// map and data areas of an image.
#include <cstdint>
#include <cstring>

#include "console/progress.h"
#include "image/vdi.h"

namespace {

// Map length in bytes; the caller has made sure it fits in 32 bits.
uint32_t map_bytes(const vdi_handle* handle) { return 4 * handle->blocks; }

// Where data place `place` starts; -1 (which no file reaches) when that
// lies beyond any position a file can have.
int64_t place_position(const vdi_handle* handle, uint32_t place) {
    uint64_t position = handle->offset_data + static_cast<uint64_t>(place) * handle->block_size;
    return position > static_cast<uint64_t>(INT64_MAX) ? -1 : static_cast<int64_t>(position);
}

int transfer(vdi_handle* handle, uint8_t* read_into, const uint8_t* write_from, uint32_t index,
             uint32_t place) {
    if (!ChangeFilePosition(handle->file, place_position(handle, place), OFFSET_BEGINNING)) {
        stop_progress();
        PrintFault(IoErr(), handle->name);
        return 0;
    }
    if (read_into) {
        int64_t count = Read(handle->file, read_into, handle->block_size);
        if (count != handle->block_size) {
            stop_progress();
            if (count == -1) PrintFault(IoErr(), handle->name);
            FPrintf(StdErr, "%s: failed to read block %lu\n", handle->name, index);
            return 0;
        }
        return 1;
    }
    if (Write(handle->file, write_from, handle->block_size) != handle->block_size) {
        stop_progress();
        PrintFault(IoErr(), handle->name);
        FPrintf(StdErr, "%s: failed to write block %lu\n", handle->name, index);
        return 0;
    }
    return 1;
}

}  // namespace

int read_block_map(vdi_handle* handle) {
    // A map too long to address, or longer than the file holds, cannot be
    // read; say so before asking for memory it would need.
    bool readable = handle->blocks < 0x40000000u;
    if (readable) {
        int64_t size = GetFileSize(handle->file);
        if (size >= 0 && static_cast<int64_t>(handle->offset_blocks) + map_bytes(handle) > size)
            readable = false;
    }
    if (!readable) {
        FPrintf(StdErr, "%s: failed to read block map\n", handle->name);
        return 0;
    }
    if (!ChangeFilePosition(handle->file, handle->offset_blocks, OFFSET_BEGINNING)) {
        PrintFault(IoErr(), handle->name);
        return 0;
    }
    if (!handle->block_map) {
        handle->block_map = static_cast<uint8_t*>(AllocVecTagList(map_bytes(handle), nullptr));
        if (!handle->block_map) {
            PrintFault(ERROR_NO_FREE_STORE, "imgsmith");
            return 0;
        }
    }
    int64_t count = Read(handle->file, handle->block_map, map_bytes(handle));
    if (count != map_bytes(handle)) {
        if (count == -1) PrintFault(IoErr(), handle->name);
        FPrintf(StdErr, "%s: failed to read block map\n", handle->name);
        return 0;
    }
    return 1;
}

int write_block_map(vdi_handle* handle) {
    if (!ChangeFilePosition(handle->file, handle->offset_blocks, OFFSET_BEGINNING)) {
        PrintFault(IoErr(), handle->name);
        return 0;
    }
    if (!handle->block_map) {
        handle->block_map =
            static_cast<uint8_t*>(AllocVecTags(map_bytes(handle), AVT_ClearWithValue, 0xFF, TAG_END));
        if (!handle->block_map) {
            PrintFault(ERROR_NO_FREE_STORE, "imgsmith");
            return 0;
        }
    }
    if (Write(handle->file, handle->block_map, map_bytes(handle)) != map_bytes(handle)) {
        PrintFault(IoErr(), handle->name);
        FPrintf(StdErr, "%s: failed to write block map\n", handle->name);
        return 0;
    }
    return 1;
}

int read_block(vdi_handle* handle, uint8_t* buffer, uint32_t index) {
    return transfer(handle, buffer, nullptr, index, get_map_entry(handle->block_map, index));
}

int write_block(vdi_handle* handle, const uint8_t* buffer, uint32_t index) {
    return transfer(handle, nullptr, buffer, index, get_map_entry(handle->block_map, index));
}

int write_block_to(vdi_handle* handle, const uint8_t* buffer, uint32_t index, uint32_t place) {
    return transfer(handle, nullptr, buffer, index, place);
}

int check_block_size(const vdi_handle* handle) {
    if (handle->block_size == 0 || handle->block_size > MAX_BLOCK_SIZE) {
        FPrintf(StdErr, "%s: unsupported block size %lu\n", handle->name, handle->block_size);
        return 0;
    }
    return 1;
}

bool block_is_zero(const uint8_t* buffer, uint32_t size) {
    // Check a head by hand, then let memcmp compare the block with itself
    // shifted by that head: it runs at memory speed.
    constexpr uint32_t HEAD = 16;
    uint32_t head = size < HEAD ? size : HEAD;
    for (uint32_t i = 0; i < head; ++i)
        if (buffer[i] != 0) return false;
    return size <= HEAD || std::memcmp(buffer, buffer + HEAD, size - HEAD) == 0;
}
