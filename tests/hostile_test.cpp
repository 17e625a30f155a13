// Images from strangers: damaged and hostile headers and maps, and files cut
// at every length, against info, converttoraw and compact. Each must end
// with a clear message and return code 0 or 20, in bounded memory, and
// compact must leave a file it fails to check untouched.
#include <functional>

#include "helpers.h"

namespace {

using namespace t;

constexpr uint32_t BS = 4096;

std::string base_image() {
    layout l;
    l.blocks = 4;
    l.block_size = BS;
    l.allocated = 3;
    std::string bytes = make_header(l);
    bytes.resize(1024, '\0');
    const uint32_t map[] = {0, FREE, 1, 2};
    for (int i = 0; i < 4; ++i) put32(bytes, 512 + 4 * i, map[i]);
    bytes += pattern_block(BS, 1) + std::string(BS, '\0') + pattern_block(BS, 2);
    return bytes;
}

class Hostile : public scratch {
protected:
    // Runs the three commands on the bytes and checks the common promises.
    void try_all(const std::string& bytes, const std::string& what) {
        std::string name = path("h.vdi");
        for (const char* command : {"info", "converttoraw", "compact"}) {
            write_file(name, bytes);
            hook_reset();
            std::vector<std::string> words{command, name};
            if (std::string(command) == "converttoraw") words.push_back(path("out.raw"));
            result r = run_cmd(words);
            std::string label = what + " / " + command;
            ASSERT_TRUE(r.rc == 0 || r.rc == 20) << label;
            if (r.rc == 20) {
                ASSERT_FALSE(r.err.empty()) << label;
                // Every line names the file, or the program for memory and breaks.
                for (size_t at = 0; at < r.err.size(); at = r.err.find('\n', at) + 1) {
                    std::string line = r.err.substr(at, r.err.find('\n', at) - at);
                    EXPECT_TRUE(line.rfind(name + ": ", 0) == 0 || line.rfind(path("out.raw") + ": ", 0) == 0 ||
                                line.rfind("imgsmith: ", 0) == 0)
                        << label << ": " << line;
                }
            } else {
                EXPECT_EQ(r.err, "") << label;
            }
            EXPECT_LE(hook_largest_allocation(), 64u << 20) << label;
            EXPECT_EQ(hook_open_files(), 0) << label;
            EXPECT_EQ(hook_live_allocations(), 0) << label;
            if (std::string(command) == "compact" && r.rc == 20 &&
                r.out.find("Blocks containing data") == std::string::npos) {
                EXPECT_TRUE(read_file(name) == bytes) << label << ": changed by a failed check";
            }
            ::unlink(path("out.raw").c_str());
        }
    }
};

TEST_F(Hostile, HeadersAndMaps) {
    struct {
        const char* what;
        std::function<void(std::string&)> change;
    } cases[] = {
        {"as made", [](std::string&) {}},
        {"map length wraps", [](std::string& b) { put32(b, 384, 0x40000000); }},
        {"map length wraps plus one", [](std::string& b) { put32(b, 384, 0x40000001); }},
        {"largest block count", [](std::string& b) { put32(b, 384, 0xFFFFFFFF); }},
        {"offset_data would wrap", [](std::string& b) { put32(b, 384, 0x3FFFFF01); }},
        {"no blocks", [](std::string& b) { put32(b, 384, 0); }},
        {"block size 0", [](std::string& b) { put32(b, 376, 0); }},
        {"block size 1", [](std::string& b) { put32(b, 376, 1); }},
        {"block size 17", [](std::string& b) { put32(b, 376, 17); }},
        {"block size 512", [](std::string& b) { put32(b, 376, 512); }},
        {"block size 2^31", [](std::string& b) { put32(b, 376, 0x80000000); }},
        {"block size 2^32-1", [](std::string& b) { put32(b, 376, 0xFFFFFFFF); }},
        {"block size just past the limit", [](std::string& b) { put32(b, 376, (64u << 20) + 1); }},
        {"map at 0", [](std::string& b) { put32(b, 340, 0); }},
        {"map inside the header", [](std::string& b) { put32(b, 340, 100); }},
        {"map past the end", [](std::string& b) { put32(b, 340, 0xFFFFFFF0); }},
        {"map at the end", [](std::string& b) { put32(b, 340, static_cast<uint32_t>(b.size())); }},
        {"data at 0", [](std::string& b) { put32(b, 344, 0); }},
        {"data over the map", [](std::string& b) { put32(b, 344, 513); }},
        {"data past the end", [](std::string& b) { put32(b, 344, 0xFFFFFFFF); }},
        {"disk size 2^64-1", [](std::string& b) { put64(b, 368, ~0ull); }},
        {"disk size 2^63", [](std::string& b) { put64(b, 368, 1ull << 63); }},
        {"disk size 0", [](std::string& b) { put64(b, 368, 0); }},
        {"disk size 1", [](std::string& b) { put64(b, 368, 1); }},
        {"entry 0xFFFFFFFE", [](std::string& b) { put32(b, 516, 0xFFFFFFFE); }},
        {"entry 0x7FFFFFFF", [](std::string& b) { put32(b, 516, 0x7FFFFFFF); }},
        {"entry just past the file", [](std::string& b) { put32(b, 516, 3); }},
        {"entries naming one place", [](std::string& b) { put32(b, 516, 0); }},
        {"all entries one place", [](std::string& b) { for (int i = 0; i < 4; ++i) put32(b, 512 + 4 * i, 2); }},
        {"stored count huge", [](std::string& b) { put32(b, 388, 0xFFFFFFFF); }},
        {"header size garbage", [](std::string& b) { put32(b, 72, 0xFFFFFFFF); }},
        {"fixed", [](std::string& b) { put32(b, 76, 2); }},
        {"type 0", [](std::string& b) { put32(b, 76, 0); }},
        {"version 0xFFFFFFFF", [](std::string& b) { put32(b, 68, 0xFFFFFFFF); }},
        {"description without end", [](std::string& b) { for (int i = 84; i < 340; ++i) b[i] = 'd'; }},
        {"everything 0xFF after the text",
         [](std::string& b) { for (size_t i = 68; i < 512; ++i) b[i] = '\xFF'; }},
        {"large block size and count",
         [](std::string& b) { put32(b, 376, 64u << 20); put32(b, 384, 100); put32(b, 344, 1024); }},
    };
    for (const auto& c : cases) {
        std::string bytes = base_image();
        c.change(bytes);
        try_all(bytes, c.what);
    }
}

TEST_F(Hostile, CutAtEveryLength) {
    const std::string full = base_image();
    for (size_t length = 0; length <= full.size(); length += length < 1100 ? 1 : 97)
        try_all(full.substr(0, length), "cut at " + std::to_string(length));
}

}  // namespace
