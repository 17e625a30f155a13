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

// What one run works with, besides the handle (whose map is the map as on
// disk at each moment).
struct compaction {
    uint8_t* new_map;       // the map being built, entries as on disk
    uint8_t* buffer;        // one block
    uint32_t* place_owner;  // for each place below D: PLACE_KEPT, PLACE_UNHELD
                            // or the released disk block that held it
    uint64_t* sources;      // (place << 32 | disk block), ascending
    uint32_t seen, zero, kept, planned;
};

void release_compaction(compaction* c) {
    FreeVec(c->sources);
    FreeVec(c->place_owner);
    FreeVec(c->buffer);
    FreeVec(c->new_map);
}

// Reads every stored block and frees, in the new map, those that are all
// zero. Nothing is written.
int check_blocks(vdi_handle* handle, compaction* c) {
    const uint32_t total = get_header32(handle, HDR_BLOCKS_ALLOCATED);
    for (uint32_t i = 0; i < handle->blocks; ++i) {
        display_progress("checking", c->seen, total);
        if (break_requested()) return 0;
        uint32_t entry = get_map_entry(handle->block_map, i);
        set_map_entry(c->new_map, i, entry);
        if (entry == BLOCK_FREE) continue;
        ++c->seen;
        if (!read_block(handle, c->buffer, i)) return 0;
        if (block_is_zero(c->buffer, handle->block_size)) {
            set_map_entry(c->new_map, i, BLOCK_FREE);
            ++c->zero;
        } else {
            ++c->kept;
        }
    }
    display_progress("checking", c->seen, total);
    stop_progress();
    return 1;
}

// Places below D named by a kept block stay; the others are targets, each
// reached through a released block that held it where there is one.
// Sources are the kept blocks at places of D or more, by ascending place.
int plan_moves(const vdi_handle* handle, compaction* c) {
    const uint32_t d = c->kept;
    for (uint32_t i = 0; i < handle->blocks; ++i) {
        uint32_t place = get_map_entry(c->new_map, i);
        if (place != BLOCK_FREE && place >= d) ++c->planned;
    }
    c->place_owner = static_cast<uint32_t*>(AllocVecTagList(4 * d, nullptr));
    if (c->place_owner && 8ull * c->planned <= 0xFFFFFFFFull)
        c->sources = static_cast<uint64_t*>(AllocVecTagList(8 * c->planned, nullptr));
    if (!c->sources) {
        PrintFault(ERROR_NO_FREE_STORE, "imgsmith");
        return 0;
    }
    for (uint32_t t = 0; t < d; ++t) c->place_owner[t] = PLACE_UNHELD;
    uint32_t next = 0;
    for (uint32_t i = 0; i < handle->blocks; ++i) {
        uint32_t place = get_map_entry(c->new_map, i);
        if (place == BLOCK_FREE) continue;
        if (place < d)
            c->place_owner[place] = PLACE_KEPT;
        else
            c->sources[next++] = static_cast<uint64_t>(place) << 32 | i;
    }
    for (uint32_t i = 0; i < handle->blocks; ++i) {
        uint32_t place = get_map_entry(handle->block_map, i);
        if (place < d && get_map_entry(c->new_map, i) == BLOCK_FREE &&
            c->place_owner[place] == PLACE_UNHELD)
            c->place_owner[place] = i;
    }
    std::sort(c->sources, c->sources + c->planned);
    return 1;
}

// Writes header (blocks_allocated = D) and the map with the zero blocks
// freed, and makes them durable: from then on the places those blocks held
// are named by no entry on disk.
int release_zero_blocks(vdi_handle* handle, compaction* c) {
    uint8_t old_header[HEADER_BYTES];
    CopyMem(handle->header, old_header, HEADER_BYTES);
    set_header32(handle, HDR_BLOCKS_ALLOCATED, c->kept);
    if (!write_header(handle)) return 0;
    CopyMem(c->new_map, handle->block_map, 4 * handle->blocks);
    if (!write_block_map(handle)) {
        restore_header(handle, old_header);
        return 0;
    }
    return sync_image(handle);
}

// Copies the sources into the targets, then, once the copies are durable,
// writes the map that points at them and makes it durable.
int move_blocks(vdi_handle* handle, compaction* c) {
    WriteBehind(handle->file);  // the copies must reach the disk before the map
    uint32_t moved = 0;
    for (uint32_t t = 0; t < c->kept; ++t) {
        display_progress("compacting", moved, c->planned);
        if (break_requested()) return 0;
        if (c->place_owner[t] == PLACE_KEPT || moved == c->planned) continue;
        auto v = static_cast<uint32_t>(c->sources[moved]);
        uint32_t holder = c->place_owner[t] == PLACE_UNHELD ? v : c->place_owner[t];
        if (!read_block(handle, c->buffer, v) || !write_block_to(handle, c->buffer, holder, t))
            return 0;
        set_map_entry(c->new_map, v, t);
        ++moved;
    }
    display_progress("compacting", moved, c->planned);
    stop_progress();
    if (moved == 0) return 1;
    if (!sync_image(handle)) return 0;
    CopyMem(c->new_map, handle->block_map, 4 * handle->blocks);
    return write_block_map(handle) && sync_image(handle);
}

// Cuts off what no entry names any more.
int cut_image(vdi_handle* handle, const compaction* c) {
    int64_t length = static_cast<int64_t>(handle->offset_data) +
                     static_cast<int64_t>(c->kept) * handle->block_size;
    if (!ChangeFileSize(handle->file, length, OFFSET_BEGINNING)) {
        PrintFault(IoErr(), handle->name);
        FPrintf(StdErr, "%s: failed to resize vdi file\n", handle->name);
        return 0;
    }
    return sync_image(handle);
}

// Opens the image and checks that compact may rewrite it.
vdi_handle* open_dynamic_image(const char* name) {
    vdi_handle* handle = open_vdi(name, MODE_OLDFILE);
    if (!handle) return nullptr;
    bool ok = read_header(handle);
    if (ok && get_header32(handle, HDR_VERSION) != VDI_VERSION_1_1) {
        FPrintf(StdErr, "%s: unsupported vdi version\n", handle->name);
        ok = false;
    } else if (ok && get_header32(handle, HDR_IMAGE_TYPE) != IMAGE_TYPE_DYNAMIC) {
        FPrintf(StdErr, "%s: not a dynamic vdi file\n", handle->name);
        ok = false;
    }
    if (ok) ok = check_block_size(handle) && check_layout(handle) && read_block_map(handle);
    if (ok) return handle;
    close_vdi(handle);
    return nullptr;
}

int compact_image(vdi_handle* handle, compaction* c) {
    c->new_map = static_cast<uint8_t*>(AllocVecTagList(4 * handle->blocks, nullptr));
    if (c->new_map) c->buffer = static_cast<uint8_t*>(AllocVecTagList(handle->block_size, nullptr));
    if (!c->buffer) {
        PrintFault(ERROR_NO_FREE_STORE, "imgsmith");
        return RETURN_FAIL;
    }
    if (!check_blocks(handle, c)) return RETURN_FAIL;
    Printf("Blocks allocated: %lu\n", c->seen);
    Printf("Blocks to compact: %lu\n", c->zero);
    Printf("Blocks containing data: %lu\n", c->kept);
    if (!plan_moves(handle, c)) return RETURN_FAIL;
    if (c->zero == 0 && c->planned == 0) return RETURN_OK;  // the file is not touched
    if (!release_zero_blocks(handle, c) || !move_blocks(handle, c) || !cut_image(handle, c))
        return RETURN_FAIL;
    Printf("compacting finished\n");
    return RETURN_OK;
}

}  // namespace

int cmd_compact(int argc, char** argv) {
    if (argc != 3) {
        print_usage();
        return RETURN_FAIL;
    }
    vdi_handle* handle = open_dynamic_image(argv[2]);
    if (!handle) return RETURN_FAIL;
    compaction c{};
    int rc = compact_image(handle, &c);
    release_compaction(&c);
    close_vdi(handle);
    return rc;
}
