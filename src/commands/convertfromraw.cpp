#include "cli/cli.h"
#include "commands/commands.h"
#include "console/progress.h"
#include "image/raw.h"
#include "image/vdi.h"

int cmd_convertfromraw(int argc, char** argv) {
    bool fixed = true;
    if (argc == 5) {
        if (!parse_image_type(argv[4], &fixed)) {
            print_usage();
            return RETURN_FAIL;
        }
    } else if (argc != 4) {
        print_usage();
        return RETURN_FAIL;
    }
    int rc = RETURN_FAIL;
    vdi_handle* handle = nullptr;
    uint8_t* buffer = nullptr;
    // The raw file is opened first, so a missing one creates nothing, and
    // read-only, so dumps on read-only media convert.
    raw_handle* raw = open_raw(argv[3], MODE_READONLY);
    if (!raw) return RETURN_FAIL;
    {
        int64_t raw_size = GetFileSize(raw->file);
        if (raw_size == -1) {
            PrintFault(IoErr(), raw->name);
            goto done;
        }
        uint64_t block_count =
            (static_cast<uint64_t>(raw_size) + DEFAULT_BLOCK_SIZE - 1) / DEFAULT_BLOCK_SIZE;
        if (block_count > MAX_BLOCKS) {
            FPrintf(StdErr, "%s: raw file too large for a vdi file\n", raw->name);
            goto done;
        }
        if (same_file_refused(argv[3], argv[2])) goto done;
        handle = open_vdi(argv[2], MODE_NEWFILE);
        if (!handle) goto done;

        auto blocks = static_cast<uint32_t>(block_count);
        uint32_t next_data_block = fixed ? blocks : 0;
        init_new_header(handle, blocks, fixed ? IMAGE_TYPE_FIXED : IMAGE_TYPE_DYNAMIC,
                        static_cast<uint64_t>(raw_size), next_data_block);
        if (!write_new_image(handle, fixed)) goto done;

        buffer = static_cast<uint8_t*>(AllocVecTagList(handle->block_size, nullptr));
        if (!buffer) {
            PrintFault(ERROR_NO_FREE_STORE, "imgsmith");
            goto done;
        }
        // A fixed image's data area reads zeros until written, so its zero
        // blocks are left as they are.
        bool zeros_free = IsRegularFile(handle->file);
        uint64_t remaining = static_cast<uint64_t>(raw_size);
        uint32_t chunk = handle->block_size;
        int64_t position = 0;
        uint32_t i;
        for (i = 0; i < blocks; ++i) {
            display_progress("converting", i, blocks);
            if (break_requested()) goto done;
            if (remaining < handle->block_size) chunk = static_cast<uint32_t>(remaining);
            bool zero;
            if (RangeIsHole(raw->file, position, chunk)) {
                zero = true;  // a hole in a sparse input reads as zeros
            } else {
                int64_t count = -1;
                if (ChangeFilePosition(raw->file, position, OFFSET_BEGINNING))
                    count = Read(raw->file, buffer, chunk);
                if (count != chunk) {
                    stop_progress();
                    if (count == -1) PrintFault(IoErr(), raw->name);
                    FPrintf(StdErr, "%s: failed to read block %lu\n", raw->name, i);
                    goto done;
                }
                zero = block_is_zero(buffer, chunk);
            }
            // A zero block is stored only in a fixed image whose data area
            // does not read zeros by itself; a dynamic one stays BLOCK_FREE.
            bool store = !zero || (fixed && !zeros_free);
            if (store) {
                if (zero) ClearMem(buffer, handle->block_size);
                else if (chunk < handle->block_size) ClearMem(buffer + chunk, handle->block_size - chunk);
                if (!fixed) set_map_entry(handle->block_map, i, next_data_block);
                if (!write_block(handle, buffer, i)) goto done;
                if (!fixed) ++next_data_block;
            }
            position += chunk;
            remaining -= chunk;
        }
        display_progress("converting", i, blocks);
        stop_progress();
        if (!fixed) {
            set_header32(handle, HDR_BLOCKS_ALLOCATED, next_data_block);
            if (!write_header(handle) || !write_block_map(handle)) goto done;
        }
        Printf("conversion finished\n");
        rc = RETURN_OK;
    }
done:
    FreeVec(buffer);
    close_vdi(handle);
    close_raw(raw);
    return rc;
}
