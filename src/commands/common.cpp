#include "commands/commands.h"
#include "image/vdi.h"
#include "os/os.h"

int write_new_image(vdi_handle* handle, bool fixed) {
    int64_t length = static_cast<int64_t>(handle->offset_data) +
                     (fixed ? static_cast<int64_t>(handle->blocks) * handle->block_size : 0);
    if (!ChangeFileSize(handle->file, length, OFFSET_BEGINNING)) {
        PrintFault(IoErr(), handle->name);
        FPrintf(StdErr, "%s: failed to allocate disk space for vdi file\n", handle->name);
        return 0;
    }
    if (!write_header(handle)) return 0;
    const uint32_t blocks = handle->blocks;
    handle->block_map = static_cast<uint8_t*>(
        fixed ? AllocVecTagList(4 * blocks, nullptr)
              : AllocVecTags(4 * blocks, AVT_ClearWithValue, 0xFF, TAG_END));
    if (!handle->block_map) {
        PrintFault(ERROR_NO_FREE_STORE, "imgsmith");
        return 0;
    }
    if (fixed)
        for (uint32_t i = 0; i < blocks; ++i) set_map_entry(handle->block_map, i, i);
    return write_block_map(handle);
}

bool same_file_refused(const char* input, const char* output) {
    if (!SameFile(input, output)) return false;
    FPrintf(StdErr, "%s: input and output are the same file\n", output);
    return true;
}

bool parse_image_type(const char* word, bool* fixed) {
    if (Stricmp(word, "fixed") == 0) {
        *fixed = true;
        return true;
    }
    if (Stricmp(word, "dynamic") == 0) {
        *fixed = false;
        return true;
    }
    return false;
}
