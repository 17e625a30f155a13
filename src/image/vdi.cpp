#include "image/vdi.h"

#include <cstring>

namespace {

void release(vdi_handle* handle) {
    Close(handle->file);
    FreeVec(handle->block_map);
    FreeVec(handle->header);
    FreeVec(handle);
}

}  // namespace

vdi_handle* open_vdi(const char* name, int32_t mode) {
    auto* handle =
        static_cast<vdi_handle*>(AllocVecTags(sizeof(vdi_handle), AVT_ClearWithValue, 0, TAG_END));
    if (!handle) {
        PrintFault(ERROR_NO_FREE_STORE, "imgsmith");
        return nullptr;
    }
    handle->name = name;
    handle->header = static_cast<uint8_t*>(AllocVecTags(HEADER_BYTES, AVT_ClearWithValue, 0, TAG_END));
    if (!handle->header) {
        PrintFault(ERROR_NO_FREE_STORE, "imgsmith");
        release(handle);
        return nullptr;
    }
    handle->file = Open(name, mode);
    if (!handle->file) {
        PrintFault(IoErr(), name);
        release(handle);
        return nullptr;
    }
    return handle;
}

void close_vdi(vdi_handle* handle) {
    if (handle) release(handle);
}

bool file_info_is_valid(const uint8_t* file_info) {
    uint32_t length = 0;
    for (;; ++length) {
        if (length == FILE_INFO_BYTES) return false;
        uint8_t c = file_info[length];
        if (c == 0) break;
        if ((c >= 1 && c <= 8) || (c >= 14 && c <= 31) || c == 127) return false;
    }
    static const char wanted[] = "VirtualBox Disk Image";
    const uint32_t wanted_length = sizeof wanted - 1;
    for (uint32_t at = 0; at + wanted_length <= length; ++at) {
        if (std::memcmp(file_info + at, wanted, wanted_length) == 0) return true;
    }
    return false;
}

int read_header(vdi_handle* handle) {
    if (!ChangeFilePosition(handle->file, 0, OFFSET_BEGINNING)) {
        PrintFault(IoErr(), handle->name);
        return 0;
    }
    int64_t count = Read(handle->file, handle->header, HEADER_BYTES);
    if (count != HEADER_BYTES) {
        if (count == -1) PrintFault(IoErr(), handle->name);
        FPrintf(StdErr, "%s: failed to read vdi header\n", handle->name);
        return 0;
    }
    if (!file_info_is_valid(handle->header + HDR_FILE_INFO) ||
        get_header32(handle, HDR_SIGNATURE) != VDI_SIGNATURE) {
        FPrintf(StdErr, "%s: not a vdi file\n", handle->name);
        return 0;
    }
    handle->offset_blocks = get_header32(handle, HDR_OFFSET_BLOCKS);
    handle->offset_data = get_header32(handle, HDR_OFFSET_DATA);
    handle->block_size = get_header32(handle, HDR_BLOCK_SIZE);
    handle->blocks = get_header32(handle, HDR_BLOCKS_IN_HDD);
    return 1;
}

int write_header(vdi_handle* handle) {
    if (!ChangeFilePosition(handle->file, 0, OFFSET_BEGINNING)) {
        PrintFault(IoErr(), handle->name);
        return 0;
    }
    if (Write(handle->file, handle->header, HEADER_BYTES) != HEADER_BYTES) {
        PrintFault(IoErr(), handle->name);
        FPrintf(StdErr, "%s: failed to write vdi header\n", handle->name);
        return 0;
    }
    return 1;
}

void init_new_header(vdi_handle* handle, uint32_t blocks, uint32_t image_type,
                     uint64_t disk_size, uint32_t blocks_allocated) {
    handle->block_size = DEFAULT_BLOCK_SIZE;
    handle->blocks = blocks;
    handle->offset_blocks = HEADER_BYTES;
    handle->offset_data = data_offset_for(blocks);

    Strlcpy(reinterpret_cast<char*>(handle->header + HDR_FILE_INFO), VDI_FILE_INFO, FILE_INFO_BYTES);
    set_header32(handle, HDR_SIGNATURE, VDI_SIGNATURE);
    set_header32(handle, HDR_VERSION, VDI_VERSION_1_1);
    set_header32(handle, HDR_HEADER_SIZE, VDI_HEADER_SIZE);
    set_header32(handle, HDR_IMAGE_TYPE, image_type);
    set_header32(handle, HDR_OFFSET_BLOCKS, handle->offset_blocks);
    set_header32(handle, HDR_OFFSET_DATA, handle->offset_data);
    set_header32(handle, HDR_SECTOR_SIZE, VDI_SECTOR_SIZE);
    set_header64(handle, HDR_DISK_SIZE, disk_size);
    set_header32(handle, HDR_BLOCK_SIZE, handle->block_size);
    set_header32(handle, HDR_BLOCKS_IN_HDD, blocks);
    set_header32(handle, HDR_BLOCKS_ALLOCATED, blocks_allocated);
}
