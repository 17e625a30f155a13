// create: arguments, header and map bytes, large images.
#include "helpers.h"
#include "image/format.h"

namespace {

using namespace t;

class Create : public scratch {};

TEST_F(Create, Arguments) {
    const std::string usage = std::string(BANNER) + USAGE;
    struct {
        std::vector<std::string> words;  // after "create a.vdi"
        int rc;
        std::string out, err;
        bool file;
    } cases[] = {
        {{"1"}, 0, BANNER, "", true},
        {{"fixed", "1"}, 0, BANNER, "", true},
        {{"DYNAMIC", "1"}, 0, BANNER, "", true},
        {{"10GB"}, 0, BANNER, "", true},
        {{" 2"}, 0, BANNER, "", true},
        {{"big", "1"}, 20, usage, "", false},
        {{"fixed", "x"}, 20, usage, "", false},
        {{"x"}, 20, usage, "", false},
        {{}, 20, usage, "", false},
        {{"fixed", "1", "2"}, 20, usage, "", false},
        {{"0"}, 20, BANNER, "VDI size must be > 0 GiB\n", false},
        {{"fixed", "0"}, 20, BANNER, "VDI size must be > 0 GiB\n", false},
        {{"dynamic", "-5"}, 20, BANNER, "VDI size must be > 0 GiB\n", false},
        {{"-99999999999"}, 20, BANNER, "VDI size must be > 0 GiB\n", false},
        {{"1048576"}, 20, BANNER, "VDI size must be < 1048576 GiB\n", false},
        {{"dynamic", "4294967296"}, 20, BANNER, "VDI size must be < 1048576 GiB\n", false},
        {{"99999999999"}, 20, BANNER, "VDI size must be < 1048576 GiB\n", false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words{"create", path("a.vdi")};
        words.insert(words.end(), c.words.begin(), c.words.end());
        std::string label = c.words.empty() ? "(none)" : c.words.back();
        result r = run_cmd(words);
        EXPECT_EQ(r.rc, c.rc) << label;
        EXPECT_EQ(r.out, c.out) << label;
        EXPECT_EQ(r.err, c.err) << label;
        EXPECT_EQ(file_exists(path("a.vdi")), c.file) << label;
        ::unlink(path("a.vdi").c_str());
    }
}

// Header bytes outside the fields the program sets must be zero.
void expect_other_bytes_zero(const std::string& img) {
    std::vector<bool> covered(512, false);
    for (const header_field& f : HEADER_FIELDS)
        for (uint32_t i = 0; i < f.width; ++i) covered[f.offset + i] = true;
    for (size_t i = 0; i < 512; ++i)
        if (!covered[i]) {
            EXPECT_EQ(img[i], 0) << "header byte " << i;
        }
}

TEST_F(Create, HeaderAndMapBytes) {
    struct {
        std::vector<std::string> words;
        uint32_t type, blocks, offset_data, allocated;
        int64_t length;
        uint64_t disk_size;
    } cases[] = {
        {{"1"}, 2, 1024, 4608, 1024, 1073746432, 1ull << 30},
        {{"dynamic", "2"}, 1, 2048, 8704, 0, 8704, 2ull << 30},
        {{"dynamic", "5"}, 1, 5120, 20992, 0, 20992, 5368709120ull},
        {{"fixed", "3"}, 2, 3072, 12800, 3072, 12800 + (3ll << 30), 3ull << 30},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words{"create", path("a.vdi")};
        words.insert(words.end(), c.words.begin(), c.words.end());
        ASSERT_EQ(run_cmd(words).rc, 0);
        EXPECT_EQ(file_size(path("a.vdi")), c.length);
        std::string img = read_file(path("a.vdi"), c.offset_data);
        std::string expected(64, '\0');
        std::string text = "<<< Sun VirtualBox Disk Image >>>\n";
        expected.replace(0, text.size(), text);
        EXPECT_EQ(img.substr(0, 64), expected);
        EXPECT_EQ(img.substr(64, 16), std::string("\x7F\x10\xDA\xBE\x01\x00\x01\x00\x90\x01\x00\x00", 12) +
                                          std::string(1, static_cast<char>(c.type)) + std::string(3, '\0'));
        EXPECT_EQ(get32(img, 80), 0u);
        EXPECT_EQ(get32(img, 340), 512u);
        EXPECT_EQ(get32(img, 344), c.offset_data);
        EXPECT_EQ(get32(img, 360), 512u);
        EXPECT_EQ(get64(img, 368), c.disk_size);
        EXPECT_EQ(get32(img, 376), MiB);
        EXPECT_EQ(get32(img, 380), 0u);
        EXPECT_EQ(get32(img, 384), c.blocks);
        EXPECT_EQ(get32(img, 388), c.allocated);
        expect_other_bytes_zero(img);
        std::vector<uint32_t> map = map_of(img);
        for (uint32_t i = 0; i < c.blocks; ++i) {
            ASSERT_EQ(map[i], c.type == 2 ? i : FREE) << i;
        }
        // The bytes between the map and the data area stay zero.
        EXPECT_EQ(img.substr(512 + 4 * c.blocks), std::string(c.offset_data - 512 - 4 * c.blocks, '\0'));
    }
    // The 5 GiB disk size: low word 0x40000000, then high word 1.
    ASSERT_EQ(run_cmd({"create", path("b.vdi"), "5"}).rc, 0);
    EXPECT_EQ(read_file(path("b.vdi"), 512).substr(368, 8), std::string("\0\0\0\x40\x01\0\0\0", 8));
}

TEST_F(Create, LargeImages) {
    ASSERT_EQ(run_cmd({"create", path("t.vdi"), "fixed", "1024"}).rc, 0);
    EXPECT_EQ(file_size(path("t.vdi")), 512 + 4194304 + (1ll << 40));
    ASSERT_EQ(run_cmd({"create", path("d.vdi"), "dynamic", "65536"}).rc, 0);
    EXPECT_EQ(file_size(path("d.vdi")), 512 + 268435456);  // a 256 MiB map
    std::string img = read_file(path("d.vdi"));
    EXPECT_EQ(get32(img, 384), 67108864u);
    EXPECT_EQ(img.find_first_not_of('\xFF', 512), std::string::npos);
}

TEST_F(Create, Failures) {
    std::string name = path("a.vdi");
    struct {
        os_call call;
        uint32_t nth;
        std::string err;
    } cases[] = {
        {CALL_OPEN, 1, "@: Permission denied\n"},
        {CALL_SETSIZE, 1, "@: No space left on device\n@: failed to allocate disk space for vdi file\n"},
        {CALL_WRITE, 1, "@: No space left on device\n@: failed to write vdi header\n"},
        {CALL_WRITE, 2, "@: No space left on device\n@: failed to write block map\n"},
        {CALL_ALLOC, 1, "imgsmith: not enough memory\n"},
        {CALL_ALLOC, 3, "imgsmith: not enough memory\n"},
    };
    for (const auto& c : cases) {
        hook_reset();
        hook_fail_call(c.call, c.nth, c.call == CALL_OPEN ? EACCES : c.call == CALL_ALLOC ? ENOMEM : ENOSPC);
        result r = run_cmd({"create", name, "dynamic", "1"});
        std::string err = c.err;
        for (size_t at; (at = err.find('@')) != std::string::npos;) err.replace(at, 1, name);
        EXPECT_EQ(r.rc, 20);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(hook_open_files(), 0);
        EXPECT_EQ(hook_live_allocations(), 0);
    }
}

}  // namespace
