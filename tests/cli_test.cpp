// The real program, run end to end: banner, usage, dispatch, version tag.
#include <sys/stat.h>

#include "helpers.h"

namespace {

using namespace t;

class Cli : public scratch {};

TEST_F(Cli, UsageAndReturnCodes) {
    struct {
        std::vector<std::string> words;
        int rc;
    } cases[] = {
        {{}, 0},
        {{"?"}, 0},
        {{"?help"}, 0},
        {{"info"}, 20},
        {{"create"}, 20},
        {{"compact"}, 20},
        {{"list", "disk.vdi"}, 20},
        {{"info", "disk.vdi", "extra"}, 20},
        {{"create", "disk.vdi"}, 20},
        {{"create", "disk.vdi", "fixed", "1", "2"}, 20},
        {{"create", "disk.vdi", "big", "1"}, 20},
        {{"create", "disk.vdi", "fixed", "x"}, 20},
        {{"compact", "disk.vdi", "x"}, 20},
        {{"convertfromraw", "disk.vdi"}, 20},
        {{"convertfromraw", "disk.vdi", "raw", "sparse"}, 20},
        {{"converttoraw", "disk.vdi"}, 20},
        {{"converttoraw", "disk.vdi", "raw", "x"}, 20},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words = c.words;
        for (std::string& w : words)
            if (w == "disk.vdi" || w == "raw") w = path(w);
        result r = run_tool(words);
        std::string label = words.empty() ? "(none)" : words[0];
        EXPECT_EQ(r.rc, c.rc) << label;
        EXPECT_EQ(r.out, std::string(BANNER) + USAGE) << label;
        EXPECT_EQ(r.err, "") << label;
        EXPECT_FALSE(file_exists(path("disk.vdi"))) << label;
        EXPECT_FALSE(file_exists(path("raw"))) << label;
    }
}

TEST_F(Cli, CommandWordsIgnoreCase) {
    result r = run_tool({"INFO", path("missing.vdi")});
    EXPECT_EQ(r.rc, 20);
    EXPECT_EQ(r.out, BANNER);
    EXPECT_EQ(r.err, path("missing.vdi") + ": No such file or directory\n");
}

TEST_F(Cli, InfoEndToEnd) {
    layout l;
    l.blocks = 10240;
    l.type = 2;
    l.allocated = 10240;
    write_file(path("a.vdi"), make_header(l));
    result r = run_tool({"info", path("a.vdi")}, true);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.all,
              std::string(BANNER) +
                  "Version: 1.1\n"
                  "Header size: 400 (0x190)\n"
                  "Image type: fixed\n"
                  "Image flags: 0x00000000\n"
                  "Description: <none>\n"
                  "Offset blocks: 512 (0x200)\n"
                  "Offset data: 41472 (0xa200)\n"
                  "Cylinders: 0\n"
                  "Heads: 0\n"
                  "Sectors: 0\n"
                  "Sector size: 512 (0x200)\n"
                  "Disk size: 10.00 GiB (0x280000000)\n"
                  "Block size: 1048576 (0x100000)\n"
                  "Block extra data: 0\n"
                  "Blocks in HDD: 10240\n"
                  "Blocks allocated: 10240\n");
}

TEST_F(Cli, OutputKeepsProgramOrderOnOnePipe) {
    write_file(path("short.vdi"), std::string(100, 'x'));
    result r = run_tool({"info", path("short.vdi")}, true);
    EXPECT_EQ(r.rc, 20);
    EXPECT_EQ(r.all, std::string(BANNER) + path("short.vdi") + ": failed to read vdi header\n");
}

TEST_F(Cli, CommandsEndToEnd) {
    std::string raw = pattern_block(MiB, 1) + std::string(MiB, '\0') + pattern_block(MiB, 2) +
                      pattern_block(MiB / 2, 3);
    write_file(path("in.raw"), raw);
    struct {
        std::vector<std::string> words;
        std::string all;
    } steps[] = {
        {{"create", path("new.vdi"), "dynamic", "1"}, ""},
        {{"convertfromraw", path("a.vdi"), path("in.raw"), "fixed"},
         "\rconverting 0%\rconverting 25%\rconverting 50%\rconverting 75%\rconverting 100%\n"
         "conversion finished\n"},
        {{"converttoraw", path("a.vdi"), path("out.raw")},
         "\rconverting 0%\rconverting 25%\rconverting 50%\rconverting 75%\rconverting 100%\n"
         "conversion finished\n"},
        {{"compact", path("a.vdi")}, path("a.vdi") + ": not a dynamic vdi file\n"},
    };
    for (const auto& step : steps) {
        result r = run_tool(step.words, true);
        EXPECT_EQ(r.all, BANNER + step.all) << step.words[0];
    }
    EXPECT_TRUE(read_file(path("out.raw")) == raw);
    EXPECT_EQ(file_size(path("new.vdi")), 4608);
}

TEST(VersionTag, InBinary) {
    std::string binary = read_file(IMGSMITH_BINARY);
    std::string tag("\0$VER: imgsmith 1.2 (25.5.2011)\0", 32);
    EXPECT_NE(binary.find(tag), std::string::npos);
}

}  // namespace
