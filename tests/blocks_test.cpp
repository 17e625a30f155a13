// Block map and block I/O against small images.
#include <cerrno>

#include "console/progress.h"
#include "helpers.h"
#include "image/vdi.h"

namespace {

using namespace t;

class Blocks : public scratch {
protected:
    // Opens the image and reads header and map; the name outlives the handle.
    vdi_handle* open(const std::string& file, int32_t mode = MODE_OLDFILE) {
        name_ = path(file);
        vdi_handle* h = open_vdi(name_.c_str(), mode);
        EXPECT_NE(h, nullptr);
        if (h) {
            EXPECT_TRUE(read_header(h));
        }
        return h;
    }
    std::string name_;
};

TEST_F(Blocks, ReadAndWriteThroughTheMap) {
    layout l;
    l.blocks = 3;
    l.block_size = 4096;
    l.allocated = 2;
    write_image(path("a.vdi"), l, {1, FREE, 0}, {pattern_block(4096, 10), pattern_block(4096, 11)});
    vdi_handle* h = open("a.vdi");
    ASSERT_TRUE(read_block_map(h));
    EXPECT_EQ(get_map_entry(h->block_map, 0), 1u);
    EXPECT_EQ(get_map_entry(h->block_map, 1), FREE);
    std::string buf(4096, '\0');
    auto* b = reinterpret_cast<uint8_t*>(buf.data());
    ASSERT_TRUE(read_block(h, b, 0));
    EXPECT_EQ(buf, pattern_block(4096, 11));
    ASSERT_TRUE(read_block(h, b, 2));
    EXPECT_EQ(buf, pattern_block(4096, 10));
    std::string other = pattern_block(4096, 12);
    ASSERT_TRUE(write_block(h, reinterpret_cast<const uint8_t*>(other.data()), 0));
    close_vdi(h);
    EXPECT_EQ(disk_blocks(read_file(path("a.vdi")))[0], other);
}

TEST_F(Blocks, MapWithoutAllocationIsAllFree) {
    layout l;
    l.blocks = 3;
    write_file(path("a.vdi"), make_header(l) + std::string(512, 'x'));
    vdi_handle* h = open("a.vdi");
    ASSERT_TRUE(write_block_map(h));
    close_vdi(h);
    std::string img = read_file(path("a.vdi"));
    EXPECT_EQ(img.substr(512, 12), std::string(12, '\xFF'));
    EXPECT_EQ(img.substr(524), std::string(500, 'x'));  // past the map: untouched
}

TEST_F(Blocks, MapFailures) {
    layout l;
    l.blocks = 300;
    std::string header = make_header(l);
    struct {
        const char* what;
        std::string bytes;
        uint32_t blocks;
    } cases[] = {
        {"map cut short", header + std::string(1000, '\xFF'), 300},
        {"map beyond 4 GiB of entries", header + std::string(1200, '\xFF'), 0x40000000},
        {"largest count", header + std::string(1200, '\xFF'), 0xFFFFFFFF},
    };
    for (const auto& c : cases) {
        std::string bytes = c.bytes;
        put32(bytes, 384, c.blocks);
        write_file(path("a.vdi"), bytes);
        vdi_handle* h = open("a.vdi");
        os_capture cap;
        hook_capture(&cap);
        EXPECT_FALSE(read_block_map(h)) << c.what;
        hook_capture(nullptr);
        EXPECT_EQ(cap.err, name_ + ": failed to read block map\n") << c.what;
        close_vdi(h);
    }
    EXPECT_EQ(hook_live_allocations(), 0);
}

TEST_F(Blocks, ReadPastTheEndClosesTheProgressLine) {
    layout l;
    l.blocks = 2;
    l.block_size = 4096;
    std::string img = make_header(l);
    img.resize(1024);
    put32(img, 512, 0);
    put32(img, 516, 1);
    img += pattern_block(4096, 1) + std::string(100, 'y');  // place 1 is cut short
    write_file(path("a.vdi"), img);
    vdi_handle* h = open("a.vdi");
    ASSERT_TRUE(read_block_map(h));
    std::string buf(4096, '\0');
    os_capture c;
    hook_capture(&c);
    display_progress("converting", 1, 2);
    EXPECT_FALSE(read_block(h, reinterpret_cast<uint8_t*>(buf.data()), 1));
    hook_capture(nullptr);
    EXPECT_EQ(c.all, "\rconverting 50%\n" + name_ + ": failed to read block 1\n");
    close_vdi(h);
}

TEST_F(Blocks, FarEntryFailsCleanly) {
    // 0xFFFFFFFE is a place like any other: far beyond the end of the file.
    layout l;
    l.blocks = 1;
    write_image(path("a.vdi"), l, {0xFFFFFFFE}, {});
    vdi_handle* h = open("a.vdi");
    ASSERT_TRUE(read_block_map(h));
    std::string buf(MiB, '\0');
    os_capture c;
    hook_capture(&c);
    EXPECT_FALSE(read_block(h, reinterpret_cast<uint8_t*>(buf.data()), 0));
    hook_capture(nullptr);
    EXPECT_EQ(c.err, name_ + ": failed to read block 0\n");
    close_vdi(h);
}

TEST_F(Blocks, PlaceBeyondFourGiB) {
    // Data block 4096 at 1 MiB blocks with offset_data 4608 lies at 4294971904.
    layout l;
    l.blocks = 1024;
    l.allocated = 1;
    write_image(path("a.vdi"), l, std::vector<uint32_t>(1024, FREE), {});
    {
        std::string map(4, '\0');
        put32(map, 0, 4096);
        FILE* f = std::fopen(path("a.vdi").c_str(), "r+b");
        std::fseek(f, 512, SEEK_SET);
        std::fwrite(map.data(), 1, 4, f);
        std::fclose(f);
    }
    vdi_handle* h = open("a.vdi");
    ASSERT_EQ(h->offset_data, 4608u);
    ASSERT_TRUE(read_block_map(h));
    std::string block = pattern_block(MiB, 7);
    ASSERT_TRUE(write_block(h, reinterpret_cast<const uint8_t*>(block.data()), 0));
    close_vdi(h);
    EXPECT_EQ(file_size(path("a.vdi")), 4294971904ll + MiB);
    std::string back(MiB, '\0');
    FILE* f = std::fopen(path("a.vdi").c_str(), "rb");
    ASSERT_EQ(::fseeko(f, 4294971904ll, SEEK_SET), 0);
    ASSERT_EQ(std::fread(back.data(), 1, MiB, f), MiB);
    std::fclose(f);
    EXPECT_EQ(back, block);
}

TEST_F(Blocks, WriteAndPositionFaults) {
    layout l;
    l.blocks = 2;
    l.block_size = 4096;
    write_image(path("a.vdi"), l, {0, 1}, {pattern_block(4096, 1), pattern_block(4096, 2)});
    vdi_handle* h = open("a.vdi");
    ASSERT_TRUE(read_block_map(h));
    std::string buf(4096, 'z');
    auto* b = reinterpret_cast<uint8_t*>(buf.data());
    struct {
        os_call call;
        int err;
        bool write;
        std::string err_text;
    } cases[] = {
        {CALL_WRITE, ENOSPC, true, ": No space left on device\n@: failed to write block 1\n"},
        {CALL_WRITE, EIO, true, ": Input/output error\n@: failed to write block 1\n"},
        {CALL_READ, EIO, false, ": Input/output error\n@: failed to read block 1\n"},
        {CALL_SEEK, EINVAL, false, ": Invalid argument\n"},
        {CALL_SEEK, EINVAL, true, ": Invalid argument\n"},
    };
    for (const auto& c : cases) {
        hook_reset();
        hook_fail_call(c.call, 1, c.err);
        os_capture cap;
        hook_capture(&cap);
        display_progress("compacting", 0, 1);
        EXPECT_FALSE(c.write ? write_block(h, b, 1) : read_block(h, b, 1));
        hook_capture(nullptr);
        std::string expected = name_ + c.err_text;
        for (size_t at; (at = expected.find('@')) != std::string::npos;) expected.replace(at, 1, name_);
        EXPECT_EQ(cap.all, "\rcompacting 0%\n" + expected);
    }
    close_vdi(h);
    EXPECT_EQ(disk_blocks(read_file(path("a.vdi")))[1], pattern_block(4096, 2));
}

TEST(ZeroTest, EveryPositionAndSize) {
    for (uint32_t size : {0u, 1u, 15u, 16u, 17u, 4096u}) {
        std::string b(size, '\0');
        EXPECT_TRUE(block_is_zero(reinterpret_cast<const uint8_t*>(b.data()), size));
        for (uint32_t i = 0; i < size; ++i) {
            b[i] = 1;
            EXPECT_FALSE(block_is_zero(reinterpret_cast<const uint8_t*>(b.data()), size)) << size << " " << i;
            b[i] = 0;
        }
    }
}

}  // namespace
