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

    uint32_t blocks = static_cast<uint32_t>(size_gib) * 1024;
    init_new_header(handle, blocks, fixed ? IMAGE_TYPE_FIXED : IMAGE_TYPE_DYNAMIC,
                    static_cast<uint64_t>(blocks) * DEFAULT_BLOCK_SIZE, fixed ? blocks : 0);
    int rc = write_new_image(handle, fixed) ? RETURN_OK : RETURN_FAIL;
    close_vdi(handle);
    return rc;
}
