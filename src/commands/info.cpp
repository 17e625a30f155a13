#include "cli/cli.h"
#include "commands/commands.h"
#include "image/vdi.h"

int cmd_info(int argc, char** argv) {
    if (argc != 3) {
        print_usage();
        return RETURN_FAIL;
    }
    // Read only: info never writes, and read-only images must be inspectable.
    vdi_handle* handle = open_vdi(argv[2], MODE_READONLY);
    if (!handle) return RETURN_FAIL;
    if (!read_header(handle)) {
        close_vdi(handle);
        return RETURN_FAIL;
    }

    auto field = [handle](uint32_t offset) { return get_header32(handle, offset); };
    uint32_t version = field(HDR_VERSION);
    uint32_t image_type = field(HDR_IMAGE_TYPE);
    const char* type_name = image_type == IMAGE_TYPE_DYNAMIC ? "dynamic"
                            : image_type == IMAGE_TYPE_FIXED ? "fixed"
                                                             : "unknown";
    // The description is shown up to its zero byte, never beyond its field.
    char description[DESCRIPTION_BYTES + 1];
    CopyMem(handle->header + HDR_DESCRIPTION, description, DESCRIPTION_BYTES);
    description[DESCRIPTION_BYTES] = '\0';

    Printf("Version: %ld.%ld\n", version >> 16, version & 0xFFFF);
    Printf("Header size: %ld (0x%lx)\n", field(HDR_HEADER_SIZE), field(HDR_HEADER_SIZE));
    Printf("Image type: %s\n", type_name);
    Printf("Image flags: 0x%08lx\n", field(HDR_IMAGE_FLAGS));
    Printf("Description: %s\n", description[0] ? description : "<none>");
    Printf("Offset blocks: %ld (0x%lx)\n", field(HDR_OFFSET_BLOCKS), field(HDR_OFFSET_BLOCKS));
    Printf("Offset data: %ld (0x%lx)\n", field(HDR_OFFSET_DATA), field(HDR_OFFSET_DATA));
    Printf("Cylinders: %ld\n", field(HDR_CYLINDERS));
    Printf("Heads: %ld\n", field(HDR_HEADS));
    Printf("Sectors: %ld\n", field(HDR_SECTORS));
    Printf("Sector size: %ld (0x%lx)\n", field(HDR_SECTOR_SIZE), field(HDR_SECTOR_SIZE));

    uint64_t disk_size = get_header64(handle, HDR_DISK_SIZE);
    auto whole_gib = static_cast<uint32_t>(disk_size >> 30);
    auto hundredths = static_cast<uint32_t>(((disk_size & 0x3FFFFFFF) * 100) >> 30);
    auto high = static_cast<uint32_t>(disk_size >> 32);
    auto low = static_cast<uint32_t>(disk_size);
    Printf("Disk size: %ld.%02ld GiB ", whole_gib, hundredths);
    if (high != 0)
        Printf("(0x%lx%08lx)\n", high, low);
    else
        Printf("(0x%lx)\n", low);

    Printf("Block size: %ld (0x%lx)\n", field(HDR_BLOCK_SIZE), field(HDR_BLOCK_SIZE));
    Printf("Block extra data: %ld\n", field(HDR_BLOCK_EXTRA));
    Printf("Blocks in HDD: %ld\n", field(HDR_BLOCKS_IN_HDD));
    Printf("Blocks allocated: %ld\n", field(HDR_BLOCKS_ALLOCATED));

    close_vdi(handle);
    return RETURN_OK;
}
