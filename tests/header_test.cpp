// Header checks and the info report.
#include <cstring>

#include "helpers.h"
#include "image/vdi.h"

namespace {

using namespace t;

TEST(FileInfo, TextCheck) {
    struct {
        std::string text;  // the 64 bytes, zero-padded
        bool valid;
    } cases[] = {
        {"<<< Sun VirtualBox Disk Image >>>\n", true},
        {"<<< Oracle VM VirtualBox Disk Image >>>\n", true},
        {"VirtualBox Disk Image", true},
        {"my own VirtualBox Disk Image, made by hand", true},
        {"<<< virtualbox disk image >>>\n", false},  // letter case counts
        {"<<< QEMU VM Virtual Disk Image >>>\n", false},
        {"", false},
        {"VirtualBox Disk Imag", false},
        {std::string("\tVirtualBox Disk Image\r\n\x0b\x0c", 26), true},  // 9 to 13 pass
        {"VirtualBox Disk Image \x7f", false},
        {"VirtualBox Disk Image \x1b", false},
        {"VirtualBox Disk Image \x01", false},
        {"VirtualBox Disk Image \x08", false},
        {"VirtualBox Disk Image \x0e", false},
        {"VirtualBox Disk Image \x1f", false},
        {"VirtualBox Disk Image \x80\xff", true},
        // Only the text before the zero byte counts.
        {std::string("abc\0VirtualBox Disk Image", 25), false},
        {std::string("VirtualBox Disk Image\0\x1b", 23), true},
        // 64 bytes without a zero byte fail, even with the text in them.
        {"VirtualBox Disk Image" + std::string(43, ' '), false},
        {"VirtualBox Disk Image" + std::string(42, ' '), true},
    };
    for (const auto& c : cases) {
        uint8_t field[64] = {};
        std::memcpy(field, c.text.data(), std::min<size_t>(64, c.text.size()));
        EXPECT_EQ(file_info_is_valid(field), c.valid) << c.text;
    }
}

class Info : public scratch {};

const char* const DYNAMIC_1G_REPORT =
    "Version: 1.1\n"
    "Header size: 400 (0x190)\n"
    "Image type: dynamic\n"
    "Image flags: 0x00000000\n"
    "Description: <none>\n"
    "Offset blocks: 512 (0x200)\n"
    "Offset data: 4608 (0x1200)\n"
    "Cylinders: 0\n"
    "Heads: 0\n"
    "Sectors: 0\n"
    "Sector size: 512 (0x200)\n"
    "Disk size: 1.00 GiB (0x40000000)\n"
    "Block size: 1048576 (0x100000)\n"
    "Block extra data: 0\n"
    "Blocks in HDD: 1024\n"
    "Blocks allocated: 0\n";

TEST_F(Info, DynamicReport) {
    layout l;
    l.blocks = 1024;
    write_file(path("a.vdi"), make_header(l));
    for (bool real : {true, false}) {
        result r = real ? run_tool({"info", path("a.vdi")}) : run_cmd({"info", path("a.vdi")});
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.out, std::string(BANNER) + DYNAMIC_1G_REPORT);
        EXPECT_EQ(r.err, "");
    }
}

// The report lines that differ from the 1 GiB dynamic one, for headers
// changed by a function.
TEST_F(Info, FieldForms) {
    struct {
        const char* what;
        void (*change)(std::string&);
        std::vector<std::string> lines;
    } cases[] = {
        {"10 GiB", [](std::string& h) { put64(h, 368, 10ull << 30); },
         {"Disk size: 10.00 GiB (0x280000000)\n"}},
        {"1.5 GiB", [](std::string& h) { put64(h, 368, 1610612736ull); },
         {"Disk size: 1.50 GiB (0x60000000)\n"}},
        {"below 1 GiB", [](std::string& h) { put64(h, 368, 1572864ull); },
         {"Disk size: 0.00 GiB (0x180000)\n"}},
        {"largest", [](std::string& h) { put64(h, 368, ~0ull); },
         {"Disk size: -1.99 GiB (0xffffffffffffffff)\n"}},
        {"low word zero", [](std::string& h) { put64(h, 368, 1ull << 32); },
         {"Disk size: 4.00 GiB (0x100000000)\n"}},
        {"unknown type", [](std::string& h) { put32(h, 76, 3); }, {"Image type: unknown\n"}},
        {"fixed", [](std::string& h) { put32(h, 76, 2); }, {"Image type: fixed\n"}},
        {"version 1.0", [](std::string& h) { put32(h, 68, 0x00010000); }, {"Version: 1.0\n"}},
        {"negative fields", [](std::string& h) { put32(h, 348, 0xFFFFFFFF); put32(h, 72, 0x80000000); },
         {"Header size: -2147483648 (0x80000000)\n", "Cylinders: -1\n"}},
        {"flags", [](std::string& h) { put32(h, 80, 0xABC); }, {"Image flags: 0x00000abc\n"}},
        {"description", [](std::string& h) { std::memcpy(&h[84], "my disk", 7); },
         {"Description: my disk\n"}},
        {"description filling its field",
         [](std::string& h) { std::memset(&h[84], 'x', 256); h[340] = 'Q'; },
         {"Description: " + std::string(256, 'x') + "\n", "Offset blocks: 593 (0x251)\n"}},
    };
    for (const auto& c : cases) {
        layout l;
        l.blocks = 1024;
        std::string h = make_header(l);
        c.change(h);
        write_file(path("a.vdi"), h);
        result r = run_tool({"info", path("a.vdi")});
        EXPECT_EQ(r.rc, 0) << c.what;
        std::string expected = std::string(BANNER) + DYNAMIC_1G_REPORT;
        for (const std::string& line : c.lines) {
            std::string label = line.substr(0, line.find(':') + 1);
            size_t at = expected.find("\n" + label) + 1;
            expected.replace(at, expected.find('\n', at) + 1 - at, line);
        }
        EXPECT_EQ(r.out, expected) << c.what;
    }
}

TEST_F(Info, HeaderFailures) {
    std::string good = make_header(layout{});
    std::string bad_signature = good;
    bad_signature[67] = '\xBF';
    std::string no_zero = good;
    std::memset(&no_zero[0], 'V', 64);
    std::memcpy(&no_zero[0], "VirtualBox Disk Image", 21);
    std::string escape = good;
    escape[3] = '\x1b';
    struct {
        const char* what;
        std::string bytes;  // empty: no file
        std::string err;
    } cases[] = {
        {"missing", "", "@: No such file or directory\n"},
        {"100 bytes", std::string(100, 'x'), "@: failed to read vdi header\n"},
        {"511 bytes", good.substr(0, 511), "@: failed to read vdi header\n"},
        {"signature", bad_signature, "@: not a vdi file\n"},
        {"no zero byte", no_zero, "@: not a vdi file\n"},
        {"escape byte", escape, "@: not a vdi file\n"},
    };
    for (const auto& c : cases) {
        std::string name = path("x.vdi");
        ::unlink(name.c_str());
        if (!c.bytes.empty()) write_file(name, c.bytes);
        std::string err = c.err;
        err.replace(err.find('@'), 1, name);
        // The real program, and in process where leaks can be counted.
        for (bool real : {true, false}) {
            result r = real ? run_tool({"info", name}) : run_cmd({"info", name});
            EXPECT_EQ(r.rc, 20) << c.what;
            EXPECT_EQ(r.out, BANNER) << c.what;
            EXPECT_EQ(r.err, err) << c.what;
            EXPECT_EQ(file_exists(name), !c.bytes.empty()) << c.what;
        }
        EXPECT_EQ(hook_open_files(), 0);
        EXPECT_EQ(hook_live_allocations(), 0);
    }
}

TEST_F(Info, ReadErrorAndOutOfMemory) {
    write_file(path("a.vdi"), make_header(layout{}));
    hook_fail_call(CALL_READ, 1, EIO);
    result r = run_cmd({"info", path("a.vdi")});
    EXPECT_EQ(r.rc, 20);
    EXPECT_EQ(r.err, path("a.vdi") + ": Input/output error\n" + path("a.vdi") +
                         ": failed to read vdi header\n");
    for (uint32_t nth : {1u, 2u}) {
        hook_reset();
        hook_fail_call(CALL_ALLOC, nth, ENOMEM);
        r = run_cmd({"info", path("a.vdi")});
        EXPECT_EQ(r.rc, 20);
        EXPECT_EQ(r.err, "imgsmith: not enough memory\n");
        EXPECT_EQ(hook_live_allocations(), 0);
    }
}

TEST_F(Info, ReadOnlyImage) {
    write_file(path("a.vdi"), make_header(layout{}));
    ASSERT_EQ(::chmod(path("a.vdi").c_str(), 0444), 0);
    // Opening for writing would fail here (also for root, through the seam).
    result r = run_cmd({"info", path("a.vdi")});
    EXPECT_EQ(r.rc, 0);
}

TEST_F(Info, WriteHeaderFailureReportsBoth) {
    write_file(path("a.vdi"), make_header(layout{}));
    std::string name = path("a.vdi");  // the handle keeps the name, not a copy
    vdi_handle* h = open_vdi(name.c_str(), MODE_OLDFILE);
    ASSERT_NE(h, nullptr);
    os_capture c;
    hook_capture(&c);
    hook_fail_call(CALL_WRITE, 1, ENOSPC);
    EXPECT_EQ(write_header(h), 0);
    EXPECT_EQ(write_header(h), 1);
    hook_capture(nullptr);
    EXPECT_EQ(c.err, path("a.vdi") + ": No space left on device\n" + path("a.vdi") +
                         ": failed to write vdi header\n");
    close_vdi(h);
}

}  // namespace
