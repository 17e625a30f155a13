// compact: the result, and that no block's content is ever lost, however
// the command is stopped.
#include <algorithm>
#include <cerrno>
#include <random>
#include <set>

#include "helpers.h"

namespace {

using namespace t;

constexpr uint32_t BS = 4096;  // small blocks keep the many cases fast

struct test_image {
    std::vector<uint32_t> map;
    std::vector<std::string> places;  // data places in the file
    uint32_t allocated;               // as stored in the header
    uint32_t block_size = BS;
};

// Places hold a pattern, or zeros where zero[k] is set.
test_image make_test_image(const std::vector<uint32_t>& map, const std::vector<bool>& zero,
                     uint32_t block_size = BS) {
    test_image s{map, {}, 0, block_size};
    for (size_t k = 0; k < zero.size(); ++k)
        s.places.push_back(zero[k] ? std::string(block_size, '\0')
                                   : pattern_block(block_size, static_cast<uint32_t>(k) + 1));
    for (uint32_t e : map) s.allocated += e != FREE;
    return s;
}

void write_test_image(const std::string& name, const test_image& s) {
    layout l;
    l.blocks = static_cast<uint32_t>(s.map.size());
    l.block_size = s.block_size;
    l.allocated = s.allocated;
    write_image(name, l, s.map, s.places);
}

// Every disk block's content as the image describes it.
std::vector<std::string> content_of(const std::string& name) { return disk_blocks(read_file(name)); }

// What compact must make of a well-formed map: targets are the places below
// D of released blocks, in ascending order; sources the kept blocks at
// places of D or more, in ascending order of place.
std::vector<uint32_t> reference_map(const std::vector<uint32_t>& map, const std::vector<bool>& zero_place) {
    std::vector<uint32_t> out = map;
    uint32_t d = 0;
    for (uint32_t& e : out) {
        if (e == FREE) continue;
        if (zero_place[e]) e = FREE;
        else ++d;
    }
    std::vector<uint32_t> targets;
    for (size_t i = 0; i < map.size(); ++i)
        if (map[i] != FREE && out[i] == FREE && map[i] < d) targets.push_back(map[i]);
    std::sort(targets.begin(), targets.end());
    std::vector<std::pair<uint32_t, uint32_t>> sources;
    for (uint32_t i = 0; i < out.size(); ++i)
        if (out[i] != FREE && out[i] >= d) sources.push_back({out[i], i});
    std::sort(sources.begin(), sources.end());
    for (size_t k = 0; k < sources.size(); ++k) out[sources[k].second] = targets[k];
    return out;
}

class Compact : public scratch {
protected:
    std::string img() { return path("a.vdi"); }
};

TEST_F(Compact, EdgeCases) {
    struct {
        const char* what;
        std::vector<uint32_t> map;
        std::vector<bool> zero;  // per data place
        uint32_t seen, to_compact, kept;
        std::vector<uint32_t> new_map;
    } cases[] = {
        {"one zero block, one move", {0, 1, 2, 3}, {0, 1, 0, 0}, 4, 1, 3, {0, FREE, 2, 1}},
        {"target held through the map", {2, 0, 1, 3}, {0, 0, 1, 0}, 4, 1, 3, {FREE, 0, 1, 2}},
        {"all zero", {0, 1, FREE, 2}, {1, 1, 1}, 3, 3, 0, {FREE, FREE, FREE, FREE}},
        {"zero blocks at the top, no move", {0, 1, 2, 3}, {0, 0, 1, 1}, 4, 2, 2, {0, 1, FREE, FREE}},
        {"several moves in order", {0, 1, 2, 3, 4, 5, 6, 7}, {1, 0, 1, 0, 1, 0, 0, 0}, 8, 3, 5,
         {FREE, 1, FREE, 3, FREE, 0, 2, 4}},
        {"sources by place, not by disk block", {7, 6, 5, 4, 3, 2, 1, 0}, {1, 1, 0, 0, 0, 0, 0, 0}, 8, 2, 6,
         {1, 0, 5, 4, 3, 2, FREE, FREE}},
        {"free blocks between", {FREE, 2, FREE, 0, 1, FREE}, {0, 1, 0}, 3, 1, 2, {FREE, 1, FREE, 0, FREE, FREE}},
    };
    for (const auto& c : cases) {
        test_image s = make_test_image(c.map, c.zero);
        write_test_image(img(), s);
        std::vector<std::string> before = content_of(img());
        result r = run_cmd({"compact", img()});
        EXPECT_EQ(r.rc, 0) << c.what;
        EXPECT_EQ(r.err, "") << c.what;
        std::string counts = "Blocks allocated: " + std::to_string(c.seen) + "\nBlocks to compact: " +
                             std::to_string(c.to_compact) + "\nBlocks containing data: " +
                             std::to_string(c.kept) + "\n";
        EXPECT_NE(r.out.find(counts), std::string::npos) << c.what << r.out;
        EXPECT_NE(r.out.find("compacting finished\n"), std::string::npos) << c.what;
        std::string after = read_file(img());
        EXPECT_EQ(map_of(after), c.new_map) << c.what;
        EXPECT_EQ(map_of(after), reference_map(c.map, c.zero)) << c.what;
        EXPECT_EQ(get32(after, 388), c.kept) << c.what;
        EXPECT_EQ(after.size(), get32(after, 344) + static_cast<size_t>(c.kept) * BS) << c.what;
        EXPECT_EQ(disk_blocks(after), before) << c.what;
    }
}

TEST_F(Compact, ExactOutput) {
    write_test_image(img(), make_test_image({0, 1, 2, 3}, {0, 1, 0, 0}));
    result r = run_cmd({"compact", img()});
    EXPECT_EQ(r.all, std::string(BANNER) +
                         "\rchecking 0%\rchecking 25%\rchecking 50%\rchecking 75%\rchecking 100%\n"
                         "Blocks allocated: 4\nBlocks to compact: 1\nBlocks containing data: 3\n"
                         "\rcompacting 0%\rcompacting 100%\n"
                         "compacting finished\n");
}

TEST_F(Compact, NothingToDoLeavesTheFileAlone) {
    struct {
        const char* what;
        test_image image;
        std::string out;
    } cases[] = {
        {"no zero block", make_test_image({1, FREE, 0}, {0, 0}),
         "\rchecking 0%\rchecking 50%\rchecking 100%\n"
         "Blocks allocated: 2\nBlocks to compact: 0\nBlocks containing data: 2\n"},
        {"nothing allocated, total 0", make_test_image({FREE, FREE}, {}),
         "Blocks allocated: 0\nBlocks to compact: 0\nBlocks containing data: 0\n"},
        {"no block at all", make_test_image({}, {}),
         "Blocks allocated: 0\nBlocks to compact: 0\nBlocks containing data: 0\n"},
    };
    for (auto& c : cases) {
        write_test_image(img(), c.image);
        std::string before = read_file(img());
        hook_reset();
        result r = run_cmd({"compact", img()});
        EXPECT_EQ(r.rc, 0) << c.what;
        EXPECT_EQ(r.out, BANNER + c.out) << c.what;
        EXPECT_EQ(read_file(img()), before) << c.what;
        EXPECT_EQ(hook_calls(CALL_WRITE), 0u) << c.what;
    }
}

TEST_F(Compact, StoredCountOnlyChangesPercentages) {
    test_image s = make_test_image({0, 1, 2, 3}, {0, 1, 0, 0});
    s.allocated = 8;  // wrong, larger
    write_test_image(img(), s);
    result r = run_cmd({"compact", img()});
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(r.out.find("\rchecking 0%\rchecking 12%\rchecking 25%\rchecking 37%\rchecking 50%\n"
                         "Blocks allocated: 4\n"),
              std::string::npos);
    s.allocated = 0;  // a fresh dynamic image's count: no percentages at all
    write_test_image(img(), s);
    r = run_cmd({"compact", img()});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out.find("checking"), std::string::npos);
    EXPECT_EQ(get32(read_file(img()), 388), 3u);
}

TEST_F(Compact, Refusals) {
    test_image s = make_test_image({0}, {1});
    struct {
        const char* what;
        void (*change)(std::string&);
        std::string err;
    } cases[] = {
        {"fixed", [](std::string& b) { put32(b, 76, 2); }, ": not a dynamic vdi file\n"},
        {"version 1.0", [](std::string& b) { put32(b, 68, 0x00010000); }, ": unsupported vdi version\n"},
        {"version 1.2", [](std::string& b) { put32(b, 68, 0x00010002); }, ": unsupported vdi version\n"},
        {"block size 0", [](std::string& b) { put32(b, 376, 0); }, ": unsupported block size 0\n"},
        {"map over the header", [](std::string& b) { put32(b, 340, 0); },
         ": block map overlaps header or data\n"},
        {"map over the data", [](std::string& b) { put32(b, 384, 200); },
         ": block map overlaps header or data\n"},
        {"not an image", [](std::string& b) { b[0] = 'x'; b[10] = 0; }, ": not a vdi file\n"},
    };
    for (const auto& c : cases) {
        write_test_image(img(), s);
        std::string bytes = read_file(img());
        c.change(bytes);
        write_file(img(), bytes);
        result r = run_cmd({"compact", img()});
        EXPECT_EQ(r.rc, 20) << c.what;
        EXPECT_EQ(r.out, BANNER) << c.what;
        EXPECT_EQ(r.err, img() + c.err) << c.what;
        EXPECT_EQ(read_file(img()), bytes) << c.what;
    }
    // A read-only image fails at opening, with nothing changed.
    write_test_image(img(), s);
    hook_read_only_file(img());
    result r = run_cmd({"compact", img()});
    EXPECT_EQ(r.rc, 20);
    EXPECT_EQ(r.err, img() + ": Read-only file system\n");
}

TEST_F(Compact, IllFormedMapsKeepEveryBlock) {
    struct {
        const char* what;
        std::vector<uint32_t> map;
        std::vector<bool> zero;
    } cases[] = {
        {"unnamed places below D", {5, 6, 7}, {1, 1, 1, 1, 1, 0, 0, 0}},
        {"one place named twice, kept", {3, 3, 0, 1}, {0, 1, 1, 0}},
        {"one place named twice above D", {5, 5, 0}, {0, 0, 0, 0, 0, 0}},
        {"shared zero place", {1, 1, 0, 2}, {0, 1, 0}},
        {"gaps and a zero", {0, 4, 9, 2}, {0, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        test_image s = make_test_image(c.map, c.zero);
        write_test_image(img(), s);
        std::vector<std::string> before = content_of(img());
        result r = run_cmd({"compact", img()});
        EXPECT_EQ(r.rc, 0) << c.what << r.err;
        std::string after = read_file(img());
        EXPECT_EQ(disk_blocks(after), before) << c.what;
        uint32_t d = get32(after, 388);
        for (uint32_t e : map_of(after)) {
            if (e != FREE) {
                EXPECT_LT(e, d) << c.what;
            }
        }
        EXPECT_EQ(after.size(), get32(after, 344) + static_cast<size_t>(d) * BS) << c.what;
    }
    // Data beyond D and nothing to release: the pass still runs and finishes.
    write_test_image(img(), make_test_image({5, 6}, {1, 1, 1, 1, 1, 0, 0}));
    result r = run_cmd({"compact", img()});
    EXPECT_NE(r.out.find("Blocks to compact: 0\n"), std::string::npos);
    EXPECT_NE(r.out.find("compacting finished\n"), std::string::npos);
    EXPECT_EQ(map_of(read_file(img())), (std::vector<uint32_t>{0, 1}));
}

// Many generated maps, well-formed and not, against the rules.
TEST_F(Compact, GeneratedMaps) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; ++round) {
        bool well_formed = round % 2 == 0;
        uint32_t n = 1 + rng() % 10;
        std::vector<uint32_t> map(n, FREE);
        std::vector<bool> zero;
        if (well_formed) {
            uint32_t a = rng() % (n + 1);
            std::vector<uint32_t> blocks(n);
            for (uint32_t i = 0; i < n; ++i) blocks[i] = i;
            std::shuffle(blocks.begin(), blocks.end(), rng);
            for (uint32_t k = 0; k < a; ++k) map[blocks[k]] = k;
            for (uint32_t k = 0; k < a; ++k) zero.push_back(rng() % 5 < 2);
        } else {
            uint32_t places = 1 + rng() % 12;
            for (uint32_t& e : map)
                if (rng() % 10 >= 3) e = rng() % places;
            for (uint32_t k = 0; k < places; ++k) zero.push_back(rng() % 5 < 2);
        }
        test_image s = make_test_image(map, zero);
        if (!well_formed) s.allocated = rng() % 12;
        write_test_image(img(), s);
        std::vector<std::string> before = content_of(img());
        result r = run_cmd({"compact", img()});
        ASSERT_EQ(r.rc, 0) << round << r.err;
        std::string after = read_file(img());
        ASSERT_EQ(disk_blocks(after), before) << "round " << round;
        std::vector<uint32_t> new_map = map_of(after);
        auto d = static_cast<uint32_t>(n - std::count(new_map.begin(), new_map.end(), FREE));
        for (uint32_t e : new_map) {
            ASSERT_TRUE(e == FREE || e < d) << "round " << round;
        }
        if (well_formed) {
            ASSERT_EQ(map_of(after), reference_map(map, zero)) << "round " << round;
            ASSERT_EQ(after.size(), get32(after, 344) + static_cast<size_t>(d) * BS);
            // A second run finds nothing to do.
            r = run_cmd({"compact", img()});
            ASSERT_EQ(read_file(img()), after) << "round " << round;
        }
    }
}

// The image of the interruption tests: three moves, released blocks between.
test_image interrupted_image(uint32_t block_size = BS) {
    return make_test_image({0, 1, 2, 3, 4, 5, 6, 7}, {1, 0, 1, 0, 1, 0, 0, 0}, block_size);
}
const std::vector<uint32_t> INTERRUPTED_FINAL = {FREE, 1, FREE, 3, FREE, 0, 2, 4};

class CompactInterrupted : public Compact {
protected:
    // After a stopped run: same content, a consistent count, and a second
    // run that finishes the job.
    void check_and_finish(const std::string& what) {
        std::string after = read_file(img());
        // A run stopped after its final map is not redone: with nothing to
        // release or move, a second run leaves the file as it is.
        bool cut_expected = map_of(after) != INTERRUPTED_FINAL;
        ASSERT_EQ(disk_blocks(after), before_) << what;
        uint32_t count = 0;
        std::set<uint32_t> places;
        for (uint32_t e : map_of(after))
            if (e != FREE) {
                ++count;
                places.insert(e);
            }
        EXPECT_EQ(get32(after, 388), count) << what;
        EXPECT_EQ(places.size(), count) << what;  // no place named twice
        hook_reset();
        result r = run_cmd({"compact", img()});
        ASSERT_EQ(r.rc, 0) << what << r.err;
        after = read_file(img());
        EXPECT_EQ(disk_blocks(after), before_) << what;
        EXPECT_EQ(map_of(after), INTERRUPTED_FINAL) << what;
        if (cut_expected) {
            EXPECT_EQ(after.size(), get32(after, 344) + 5ull * BS) << what;
        }
    }
    void start() {
        write_test_image(img(), interrupted_image());
        before_ = content_of(img());
        hook_reset();
    }
    std::vector<std::string> before_;
};

TEST_F(CompactInterrupted, BreakAtEveryPoll) {
    start();
    result r = run_cmd({"compact", img()});
    ASSERT_EQ(r.rc, 0);
    uint32_t polls = 8 + 5;  // one per disk block, then one per place below D
    for (uint32_t poll = 1; poll <= polls; ++poll) {
        start();
        std::string untouched = read_file(img());
        hook_break_at_poll(poll);
        r = run_cmd({"compact", img()});
        EXPECT_EQ(r.rc, 20) << poll;
        EXPECT_EQ(r.err, "imgsmith: interrupted\n") << poll;
        EXPECT_EQ(r.out.substr(r.out.size() - 1), "\n") << poll;  // progress line closed
        if (poll <= 8) {
            EXPECT_EQ(read_file(img()), untouched) << poll;  // checking pass: untouched
        }
        EXPECT_EQ(hook_open_files(), 0);
        EXPECT_EQ(hook_live_allocations(), 0);
        check_and_finish("break at poll " + std::to_string(poll));
    }
}

TEST_F(CompactInterrupted, EveryCallFailingInTurn) {
    start();
    ASSERT_EQ(run_cmd({"compact", img()}).rc, 0);
    uint32_t counts[CALL_KINDS];
    for (int k = 0; k < CALL_KINDS; ++k) counts[k] = hook_calls(static_cast<os_call>(k));
    ASSERT_GE(counts[CALL_WRITE], 6u);  // header, map, three moves, final map
    for (os_call kind : {CALL_OPEN, CALL_WRITE, CALL_READ, CALL_SEEK, CALL_SYNC, CALL_SETSIZE, CALL_ALLOC}) {
        for (uint32_t nth = 1; nth <= counts[kind]; ++nth) {
            start();
            hook_fail_call(kind, nth, kind == CALL_ALLOC ? ENOMEM : kind == CALL_WRITE ? ENOSPC : EIO);
            result r = run_cmd({"compact", img()});
            std::string what = "call kind " + std::to_string(kind) + " #" + std::to_string(nth);
            EXPECT_EQ(r.rc, 20) << what;
            // Reported once: one fault line, then at most one own message.
            size_t lines = std::count(r.err.begin(), r.err.end(), '\n');
            EXPECT_GE(lines, 1u) << what;
            EXPECT_LE(lines, 2u) << what << r.err;
            EXPECT_EQ(hook_open_files(), 0) << what;
            EXPECT_EQ(hook_live_allocations(), 0) << what;
            check_and_finish(what);
        }
    }
}

TEST_F(CompactInterrupted, CrashAfterEveryChange) {
    start();
    const std::string original = read_file(img());
    std::vector<os_change> journal;
    hook_journal(&journal);
    ASSERT_EQ(run_cmd({"compact", img()}).rc, 0);
    hook_journal(nullptr);
    ASSERT_FALSE(journal.empty());

    auto apply = [](std::string& file, const os_change& c) {
        if (c.kind == os_change::WRITE) {
            if (file.size() < c.position + c.data.size()) file.resize(c.position + c.data.size(), '\0');
            file.replace(static_cast<size_t>(c.position), c.data.size(), c.data);
        } else if (c.kind == os_change::SET_SIZE) {
            file.resize(static_cast<size_t>(c.position), '\0');
        }
    };
    std::mt19937 rng(7);
    for (size_t cut = 0; cut <= journal.size(); ++cut) {
        // What reached the disk: everything up to the last sync, then any
        // part of what followed it.
        size_t synced = 0;
        for (size_t i = 0; i < cut; ++i)
            if (journal[i].kind == os_change::SYNC) synced = i + 1;
        for (int variant = 0; variant < 16; ++variant) {
            std::string file = original;
            for (size_t i = 0; i < synced; ++i) apply(file, journal[i]);
            for (size_t i = synced; i < cut; ++i) {
                const os_change& c = journal[i];
                int fate = variant == 0 ? 1 : variant == 1 ? 0 : static_cast<int>(rng() % 3);
                if (fate == 1) {
                    apply(file, c);
                } else if (fate == 2 && c.kind == os_change::WRITE) {
                    // A torn write: only some of its sectors reached the disk.
                    for (size_t at = 0; at < c.data.size(); at += 512) {
                        if (rng() % 2) continue;
                        os_change sector = c;
                        sector.position = c.position + static_cast<int64_t>(at);
                        sector.data = c.data.substr(at, 512);
                        apply(file, sector);
                    }
                }
            }
            ASSERT_EQ(disk_blocks(file), before_) << "cut after change " << cut << ", variant " << variant;
        }
    }
}

}  // namespace
