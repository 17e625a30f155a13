#include "cli/cli.h"
#include "commands/commands.h"
#include "console/progress.h"
#include "image/raw.h"
#include "image/vdi.h"

int cmd_converttoraw(int argc, char** argv) {
    if (argc != 4) {
        print_usage();
        return RETURN_FAIL;
    }
    int rc = RETURN_FAIL;
    raw_handle* raw = nullptr;
    uint8_t* buffer = nullptr;
    // The image is only read: read-only images convert too.
    vdi_handle* handle = open_vdi(argv[2], MODE_READONLY);
    if (!handle || !read_header(handle) || !check_block_size(handle) || !read_block_map(handle))
        goto done;
    if (same_file_refused(argv[2], argv[3])) goto done;
    raw = open_raw(argv[3], MODE_NEWFILE);
    if (!raw) goto done;
    {
        uint64_t disk_size = get_header64(handle, HDR_DISK_SIZE);
        if (!ChangeFileSize(raw->file, static_cast<int64_t>(disk_size), OFFSET_BEGINNING)) {
            PrintFault(IoErr(), raw->name);
            FPrintf(StdErr, "%s: failed to allocate disk space for raw file\n", raw->name);
            goto done;
        }
        buffer = static_cast<uint8_t*>(AllocVecTagList(handle->block_size, nullptr));
        if (!buffer) {
            PrintFault(ERROR_NO_FREE_STORE, "imgsmith");
            goto done;
        }
        // A new regular file reads zeros wherever nothing was written, so
        // zero blocks are left as holes; a device keeps its old content and
        // gets every block.
        bool zeros_free = IsRegularFile(raw->file);
        uint64_t remaining = disk_size;
        uint32_t chunk = handle->block_size;
        int64_t position = 0;
        uint32_t i;
        for (i = 0; i < handle->blocks; ++i) {
            display_progress("converting", i, handle->blocks);
            if (break_requested()) goto done;
            bool allocated = get_map_entry(handle->block_map, i) != BLOCK_FREE;
            if (remaining < chunk) chunk = static_cast<uint32_t>(remaining);
            if (allocated) {
                if (!read_block(handle, buffer, i)) goto done;
            } else if (!zeros_free) {
                ClearMem(buffer, chunk);
            }
            bool skip = zeros_free && (!allocated || block_is_zero(buffer, chunk));
            if (!skip && chunk > 0) {
                if (!ChangeFilePosition(raw->file, position, OFFSET_BEGINNING) ||
                    Write(raw->file, buffer, chunk) != chunk) {
                    stop_progress();
                    PrintFault(IoErr(), raw->name);
                    FPrintf(StdErr, "%s: failed to write block %lu\n", raw->name, i);
                    goto done;
                }
            }
            position += chunk;
            remaining -= chunk;
        }
        display_progress("converting", i, handle->blocks);
        stop_progress();
        // A device is often unplugged right after: its data must be on it
        // before we say so.
        if (!zeros_free && !SyncFile(raw->file)) {
            PrintFault(IoErr(), raw->name);
            FPrintf(StdErr, "%s: failed to sync raw file\n", raw->name);
            goto done;
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
