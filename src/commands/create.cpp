#include "cli/cli.h"
#include "commands/commands.h"
#include "image/vdi.h"

namespace {

// Sizes from here on no longer fit the 32-bit map arithmetic.
constexpr int32_t SIZE_LIMIT_GIB = 1048576;

}  // namespace

int cmd_create(int argc, char** argv) {
    bool fixed = true;
    const char* size_text;
    if (argc == 4) {
        size_text = argv[3];
    } else if (argc == 5) {
        if (!parse_image_type(argv[3], &fixed)) {
            print_usage();
            return RETURN_FAIL;
        }
        size_text = argv[4];
    } else {
        print_usage();
        return RETURN_FAIL;
    }
    int32_t size_gib;
    if (StrToLong(size_text, &size_gib) == -1) {
        print_usage();
        return RETURN_FAIL;
    }
    if (size_gib <= 0) {
        FPrintf(StdErr, "VDI size must be > 0 GiB\n");
        return RETURN_FAIL;
    }
    if (size_gib >= SIZE_LIMIT_GIB) {
        FPrintf(StdErr, "VDI size must be < 1048576 GiB\n");
        return RETURN_FAIL;
    }

    vdi_handle* handle = open_vdi(argv[2], MODE_NEWFILE);
    if (!handle) return RETURN_FAIL;

    int rc = RETURN_FAIL;
    uint32_t blocks = static_cast<uint32_t>(size_gib) * 1024;
    uint64_t disk_size = static_cast<uint64_t>(blocks) * DEFAULT_BLOCK_SIZE;
    init_new_header(handle, blocks, fixed ? IMAGE_TYPE_FIXED : IMAGE_TYPE_DYNAMIC, disk_size,
                    fixed ? blocks : 0);
    int64_t length = static_cast<int64_t>(handle->offset_data) + (fixed ? static_cast<int64_t>(disk_size) : 0);
    if (!ChangeFileSize(handle->file, length, OFFSET_BEGINNING)) {
        PrintFault(IoErr(), handle->name);
        FPrintf(StdErr, "%s: failed to allocate disk space for vdi file\n", handle->name);
    } else if (write_header(handle)) {
        handle->block_map = static_cast<uint8_t*>(
            fixed ? AllocVecTagList(4 * blocks, nullptr)
                  : AllocVecTags(4 * blocks, AVT_ClearWithValue, 0xFF, TAG_END));
        if (!handle->block_map) {
            PrintFault(ERROR_NO_FREE_STORE, "imgsmith");
        } else {
            if (fixed)
                for (uint32_t i = 0; i < blocks; ++i) set_map_entry(handle->block_map, i, i);
            if (write_block_map(handle)) rc = RETURN_OK;
        }
    }
    close_vdi(handle);
    return rc;
}
