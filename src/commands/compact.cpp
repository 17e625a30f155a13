// compact: releases the all-zero blocks of a dynamic image, moves the data
// blocks beyond the new end of the data area into free places below it, and
// cuts the file.
//
// The image is rewritten in place, so the writes are ordered to keep every
// disk block's content intact at every moment, whatever stops the command:
//   1. header (blocks_allocated = D) and a map with the zero blocks already
//      free are written and made durable; the places those blocks held are
//      now named by no entry on disk;
//   2. data is copied only into such unnamed places, and made durable;
//   3. the final map pointing at the copies is written and made durable;
//   4. the file is cut.
// A run stopped anywhere leaves a valid image; running compact again
// finishes the job, since data left at places of D or more is moved then.
#include <algorithm>

#include "cli/cli.h"
#include "commands/commands.h"
#include "console/progress.h"
#include "image/vdi.h"

namespace {

// place_owner values for places below D that are not free to overwrite.
constexpr uint32_t PLACE_KEPT = 0xFFFFFFFEu;  // a kept block's data is here
constexpr uint32_t PLACE_UNHELD = BLOCK_FREE;  // nobody's: free, no holder

// Map and data must lie after the header and not overlap: compact writes
// the header, the map and data places, and must never write one over the
// other.
int check_layout(const vdi_handle* handle) {
    uint64_t map_end = static_cast<uint64_t>(handle->offset_blocks) + 4ull * handle->blocks;
    if (handle->offset_blocks < HEADER_BYTES || map_end > handle->offset_data) {
        FPrintf(StdErr, "%s: block map overlaps header or data\n", handle->name);
        return 0;
    }
    return 1;
}

int sync_image(vdi_handle* handle) {
    if (!SyncFile(handle->file)) {
        stop_progress();
        PrintFault(IoErr(), handle->name);
        FPrintf(StdErr, "%s: failed to sync vdi file\n", handle->name);
        return 0;
    }
    return 1;
}

// Puts the header back as it was after a failed map write, so that the
// count it holds matches the map on disk again. Quiet: the failure has been
// reported, and this is only an attempt.
void restore_header(vdi_handle* handle, const uint8_t* old_header) {
    CopyMem(old_header, handle->header, HEADER_BYTES);
    if (ChangeFilePosition(handle->file, 0, OFFSET_BEGINNING))
        Write(handle->file, handle->header, HEADER_BYTES);
}

}  // namespace

int cmd_compact(int argc, char** argv) {
    if (argc != 3) {
        print_usage();
        return RETURN_FAIL;
    }
    int rc = RETURN_FAIL;
    uint8_t* new_map = nullptr;
    uint8_t* buffer = nullptr;
    uint32_t* place_owner = nullptr;
    uint64_t* sources = nullptr;
    uint8_t old_header[HEADER_BYTES];

    vdi_handle* handle = open_vdi(argv[2], MODE_OLDFILE);
    if (!handle) return RETURN_FAIL;
    if (!read_header(handle)) goto done;
    if (get_header32(handle, HDR_VERSION) != VDI_VERSION_1_1) {
        FPrintf(StdErr, "%s: unsupported vdi version\n", handle->name);
        goto done;
    }
    if (get_header32(handle, HDR_IMAGE_TYPE) != IMAGE_TYPE_DYNAMIC) {
        FPrintf(StdErr, "%s: not a dynamic vdi file\n", handle->name);
        goto done;
    }
    if (!check_block_size(handle) || !check_layout(handle) || !read_block_map(handle)) goto done;
    new_map = static_cast<uint8_t*>(AllocVecTagList(4 * handle->blocks, nullptr));
    buffer = new_map ? static_cast<uint8_t*>(AllocVecTagList(handle->block_size, nullptr)) : nullptr;
    if (!buffer) {
        PrintFault(ERROR_NO_FREE_STORE, "imgsmith");
        goto done;
    }
    {
        const uint32_t blocks = handle->blocks;
        const uint32_t total = get_header32(handle, HDR_BLOCKS_ALLOCATED);
        uint32_t seen = 0, zero = 0, kept = 0;

        // Checking pass: find the all-zero blocks. Nothing is written.
        for (uint32_t i = 0; i < blocks; ++i) {
            display_progress("checking", seen, total);
            if (break_requested()) goto done;
            uint32_t entry = get_map_entry(handle->block_map, i);
            set_map_entry(new_map, i, entry);
            if (entry == BLOCK_FREE) continue;
            ++seen;
            if (!read_block(handle, buffer, i)) goto done;
            if (block_is_zero(buffer, handle->block_size)) {
                set_map_entry(new_map, i, BLOCK_FREE);
                ++zero;
            } else {
                ++kept;
            }
        }
        display_progress("checking", seen, total);
        stop_progress();
        Printf("Blocks allocated: %lu\n", seen);
        Printf("Blocks to compact: %lu\n", zero);
        Printf("Blocks containing data: %lu\n", kept);

        // Plan. Places below D named by a kept block stay; the others are
        // targets, each reached through a released block that held it when
        // there is one. Sources are the kept blocks at places of D or more,
        // taken in ascending order of place.
        const uint32_t d = kept;
        uint32_t planned = 0;
        for (uint32_t i = 0; i < blocks; ++i) {
            uint32_t place = get_map_entry(new_map, i);
            if (place != BLOCK_FREE && place >= d) ++planned;
        }
        place_owner = static_cast<uint32_t*>(AllocVecTagList(4 * d, nullptr));
        if (place_owner && 8ull * planned <= 0xFFFFFFFFull)
            sources = static_cast<uint64_t*>(AllocVecTagList(8 * planned, nullptr));
        if (!sources) {
            PrintFault(ERROR_NO_FREE_STORE, "imgsmith");
            goto done;
        }
        for (uint32_t t = 0; t < d; ++t) place_owner[t] = PLACE_UNHELD;
        uint32_t next_source = 0;
        for (uint32_t i = 0; i < blocks; ++i) {
            uint32_t place = get_map_entry(new_map, i);
            if (place == BLOCK_FREE) continue;
            if (place < d)
                place_owner[place] = PLACE_KEPT;
            else
                sources[next_source++] = static_cast<uint64_t>(place) << 32 | i;
        }
        for (uint32_t i = 0; i < blocks; ++i) {
            uint32_t place = get_map_entry(handle->block_map, i);
            if (place < d && get_map_entry(new_map, i) == BLOCK_FREE &&
                place_owner[place] == PLACE_UNHELD)
                place_owner[place] = i;
        }
        if (zero == 0 && planned == 0) {
            rc = RETURN_OK;  // nothing to do: the file is not touched
            goto done;
        }
        std::sort(sources, sources + planned);

        // Step 1: release the zero blocks on disk, durably, before any move.
        CopyMem(handle->header, old_header, HEADER_BYTES);
        set_header32(handle, HDR_BLOCKS_ALLOCATED, d);
        if (!write_header(handle)) goto done;
        CopyMem(new_map, handle->block_map, 4 * blocks);
        if (!write_block_map(handle)) {
            restore_header(handle, old_header);
            goto done;
        }
        if (!sync_image(handle)) goto done;

        // Step 2: copy data into places no entry on disk names.
        uint32_t done_moves = 0;
        for (uint32_t t = 0; t < d; ++t) {
            display_progress("compacting", done_moves, planned);
            if (break_requested()) goto done;
            if (place_owner[t] == PLACE_KEPT || done_moves == planned) continue;
            uint32_t v = static_cast<uint32_t>(sources[done_moves]);
            uint32_t holder = place_owner[t] == PLACE_UNHELD ? v : place_owner[t];
            if (!read_block(handle, buffer, v) || !write_block_to(handle, buffer, holder, t))
                goto done;
            set_map_entry(new_map, v, t);
            ++done_moves;
        }
        display_progress("compacting", done_moves, planned);
        stop_progress();

        // Step 3: point the map at the copies once they are durable.
        if (done_moves > 0) {
            if (!sync_image(handle)) goto done;
            CopyMem(new_map, handle->block_map, 4 * blocks);
            if (!write_block_map(handle) || !sync_image(handle)) goto done;
        }

        // Step 4: cut off what no entry names any more.
        int64_t length = static_cast<int64_t>(handle->offset_data) +
                         static_cast<int64_t>(d) * handle->block_size;
        if (!ChangeFileSize(handle->file, length, OFFSET_BEGINNING)) {
            PrintFault(IoErr(), handle->name);
            FPrintf(StdErr, "%s: failed to resize vdi file\n", handle->name);
            goto done;
        }
        if (!sync_image(handle)) goto done;
        Printf("compacting finished\n");
        rc = RETURN_OK;
    }
done:
    FreeVec(sources);
    FreeVec(place_owner);
    FreeVec(buffer);
    FreeVec(new_map);
    close_vdi(handle);
    return rc;
}
