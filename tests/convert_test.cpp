// convertfromraw and converttoraw.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "helpers.h"

namespace {

using namespace t;

// Raw disk content from a pattern of block kinds, one letter a MiB:
// '0' zeros, 'd' data, 'f' only the first byte set, 'l' only the last one.
// The last block is cut to `size` when given.
std::string raw_disk(const std::string& kinds, int64_t size = -1) {
    std::string raw;
    uint32_t seed = 1;
    for (char k : kinds) {
        std::string b(MiB, '\0');
        if (k == 'd') b = pattern_block(MiB, seed++);
        if (k == 'f') b[0] = 1;
        if (k == 'l') b[MiB - 1] = 1;
        raw += b;
    }
    if (size >= 0) raw.resize(static_cast<size_t>(size));
    return raw;
}

std::string progress_text(uint32_t blocks) {
    std::string s;
    uint32_t last = 0xFFFFFFFF;
    for (uint32_t i = 0; i <= blocks; ++i) {
        uint32_t p = i * 100 / blocks;
        if (p != last) s += "\rconverting " + std::to_string(p) + "%";
        last = p;
    }
    return s + "\n";
}

// Runs a shell command when the test ends, however it ends.
struct undo {
    std::string command;
    ~undo() { shell(command); }
};

class Convert : public scratch {
protected:
    std::string p(const char* name) { return path(name); }
};

TEST_F(Convert, FromRawLayouts) {
    struct {
        const char* what;
        std::string raw;
        const char* type;  // nullptr: none given (fixed)
        uint32_t image_type, blocks, offset_data, allocated;
        std::vector<uint32_t> map;
        int64_t length;
    } cases[] = {
        {"1.5 MiB fixed", raw_disk("dd", 1572864), nullptr, 2, 2, 1024, 2, {0, 1}, 1024 + 2 * MiB},
        {"1.5 MiB first MiB zero, dynamic", raw_disk("0d", 1572864), "dynamic", 1, 2, 1024, 1,
         {FREE, 0}, 1024 + MiB},
        {"ascending data blocks", raw_disk("d0fl0"), "Dynamic", 1, 5, 1024, 3, {0, FREE, 1, 2, FREE},
         1024 + 3 * MiB},
        {"all zero, dynamic", raw_disk("000"), "dynamic", 1, 3, 1024, 0, {FREE, FREE, FREE}, 1024},
        {"all zero, fixed", raw_disk("000"), "fixed", 2, 3, 1024, 3, {0, 1, 2}, 1024 + 3 * MiB},
        {"one byte", std::string(1, 'x'), "dynamic", 1, 1, 1024, 1, {0}, 1024 + MiB},
        {"empty", "", "dynamic", 1, 0, 512, 0, {}, 512},
        {"empty fixed", "", nullptr, 2, 0, 512, 0, {}, 512},
    };
    for (const auto& c : cases) {
        write_file(p("disk.raw"), c.raw);
        std::vector<std::string> words{"convertfromraw", p("a.vdi"), p("disk.raw")};
        if (c.type) words.push_back(c.type);
        result r = run_cmd(words);
        EXPECT_EQ(r.rc, 0) << c.what;
        EXPECT_EQ(r.out, std::string(BANNER) + (c.blocks ? progress_text(c.blocks) : "") +
                             "conversion finished\n")
            << c.what;
        EXPECT_EQ(r.err, "") << c.what;
        std::string img = read_file(p("a.vdi"));
        EXPECT_EQ(static_cast<int64_t>(img.size()), c.length) << c.what;
        EXPECT_EQ(get32(img, 76), c.image_type) << c.what;
        EXPECT_EQ(get32(img, 344), c.offset_data) << c.what;
        EXPECT_EQ(get64(img, 368), c.raw.size()) << c.what;  // not rounded
        EXPECT_EQ(get32(img, 384), c.blocks) << c.what;
        EXPECT_EQ(get32(img, 388), c.allocated) << c.what;
        EXPECT_EQ(map_of(img), c.map) << c.what;
        std::string content;
        for (const std::string& b : disk_blocks(img)) content += b;
        std::string padded = c.raw;
        padded.resize(static_cast<size_t>(c.blocks) * MiB, '\0');
        EXPECT_TRUE(content == padded) << c.what;
    }
}

TEST_F(Convert, RoundTrips) {
    struct {
        std::string kinds;
        int64_t size;
    } cases[] = {
        {"d", -1},       {"d", 1},           {"d", MiB - 1},         {"dd", MiB + 1},
        {"f0l", -1},     {"0f0l0", -1},      {"ld0f", 3 * MiB + 5},  {"00", 2 * MiB - 1},
        {"", 0},         {"l", MiB},         {"dl", MiB + MiB / 2},
    };
    for (const auto& c : cases) {
        for (const char* type : {"fixed", "dynamic"}) {
            std::string raw = raw_disk(c.kinds, c.size);
            write_file(p("in.raw"), raw);
            ASSERT_EQ(run_cmd({"convertfromraw", p("a.vdi"), p("in.raw"), type}).rc, 0);
            result r = run_cmd({"converttoraw", p("a.vdi"), p("out.raw")});
            ASSERT_EQ(r.rc, 0) << r.err;
            EXPECT_TRUE(read_file(p("out.raw")) == raw) << c.kinds << " " << c.size << " " << type;
            // And back to a fixed image with the same numbers and data.
            ASSERT_EQ(run_cmd({"convertfromraw", p("b.vdi"), p("out.raw"), type}).rc, 0);
            EXPECT_TRUE(read_file(p("a.vdi")) == read_file(p("b.vdi")));
        }
    }
}

TEST_F(Convert, ToRawLayouts) {
    struct {
        const char* what;
        layout l;
        std::vector<uint32_t> map;
        std::vector<std::string> data;
        std::string raw;  // expected content
    } cases[] = {
        {"no block allocated", {1, 3, MiB, 0, 0}, {FREE, FREE, FREE}, {}, std::string(3 * MiB, '\0')},
        {"disk size within the last block", {1, 2, MiB, 2, 1572864}, {1, 0},
         {pattern_block(MiB, 1), pattern_block(MiB, 2)},
         pattern_block(MiB, 2) + pattern_block(MiB, 1).substr(0, MiB / 2)},
        {"disk size beyond the blocks", {1, 1, MiB, 1, 3 * MiB}, {0}, {pattern_block(MiB, 3)},
         pattern_block(MiB, 3) + std::string(2 * MiB, '\0')},
        {"disk size ends before the last block", {1, 3, MiB, 3, MiB}, {0, 1, 2},
         {pattern_block(MiB, 4), pattern_block(MiB, 5), pattern_block(MiB, 6)}, pattern_block(MiB, 4)},
        {"small blocks", {2, 3, 512, 3, 0}, {2, 1, 0},
         {pattern_block(512, 7), pattern_block(512, 8), pattern_block(512, 9)},
         pattern_block(512, 9) + pattern_block(512, 8) + pattern_block(512, 7)},
        {"version 1.0 and unknown type", {7, 1, MiB, 1, 0, 512, 0, 0x00010000}, {0},
         {pattern_block(MiB, 10)}, pattern_block(MiB, 10)},
    };
    for (const auto& c : cases) {
        write_image(p("a.vdi"), c.l, c.map, c.data);
        result r = run_cmd({"converttoraw", p("a.vdi"), p("out.raw")});
        EXPECT_EQ(r.rc, 0) << c.what << r.err;
        EXPECT_EQ(r.out, std::string(BANNER) + progress_text(c.l.blocks) + "conversion finished\n") << c.what;
        EXPECT_TRUE(read_file(p("out.raw")) == c.raw) << c.what;
    }
}

TEST_F(Convert, ToRawLeavesUnallocatedBlocksAsHoles) {
    write_image(p("a.vdi"), {1, 64, MiB, 1, 0}, std::vector<uint32_t>(64, FREE), {});
    ASSERT_EQ(run_cmd({"converttoraw", p("a.vdi"), p("out.raw")}).rc, 0);
    struct stat st;
    ASSERT_EQ(::stat(p("out.raw").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 64 * MiB);
    EXPECT_LT(st.st_blocks * 512, 1 * MiB);
}

TEST_F(Convert, Failures) {
    std::string raw = raw_disk("dd0d");
    write_file(p("in.raw"), raw);
    ASSERT_EQ(run_cmd({"convertfromraw", p("good.vdi"), p("in.raw"), "dynamic"}).rc, 0);
    const std::string good = read_file(p("good.vdi"));
    std::string cut = good.substr(0, good.size() - 100);  // last stored block cut short

    struct {
        const char* what;
        std::vector<std::string> words;
        std::string image;  // written to a.vdi first when not empty
        os_call call;       // CALL_KINDS: no fault
        uint32_t nth;
        int err;
        std::string out;  // after the banner
        std::string err_text;
        bool output_exists;
    } cases[] = {
        {"missing raw input", {"convertfromraw", "@a.vdi", "@missing.raw"}, "", CALL_KINDS, 0, 0, "",
         "@missing.raw: No such file or directory\n", false},
        {"missing image", {"converttoraw", "@missing.vdi", "@out.raw"}, "", CALL_KINDS, 0, 0, "",
         "@missing.vdi: No such file or directory\n", false},
        {"not an image", {"converttoraw", "@a.vdi", "@out.raw"}, std::string(600, 'x'), CALL_KINDS, 0,
         0, "", "@a.vdi: not a vdi file\n", false},
        {"map cut short", {"converttoraw", "@a.vdi", "@out.raw"}, good.substr(0, 514), CALL_KINDS, 0,
         0, "", "@a.vdi: failed to read block map\n", false},
        {"stored block cut short", {"converttoraw", "@a.vdi", "@out.raw"}, cut, CALL_KINDS, 0, 0,
         "\rconverting 0%\rconverting 25%\rconverting 50%\rconverting 75%\n",
         "@a.vdi: failed to read block 3\n", true},
        {"raw output cannot grow", {"converttoraw", "@a.vdi", "@out.raw"}, good, CALL_SETSIZE, 1, EFBIG,
         "", "@out.raw: File too large\n@out.raw: failed to allocate disk space for raw file\n", true},
        {"raw output disk full", {"converttoraw", "@a.vdi", "@out.raw"}, good, CALL_WRITE, 2, ENOSPC,
         "\rconverting 0%\rconverting 25%\n",
         "@out.raw: No space left on device\n@out.raw: failed to write block 1\n", true},
        {"image disk full", {"convertfromraw", "@a.vdi", "@in.raw", "fixed"}, "", CALL_WRITE, 5, ENOSPC,
         "\rconverting 0%\rconverting 25%\rconverting 50%\rconverting 75%\n",
         "@a.vdi: No space left on device\n@a.vdi: failed to write block 3\n", true},
        {"image cannot grow", {"convertfromraw", "@a.vdi", "@in.raw"}, "", CALL_SETSIZE, 1, ENOSPC, "",
         "@a.vdi: No space left on device\n@a.vdi: failed to allocate disk space for vdi file\n", true},
        {"final header", {"convertfromraw", "@a.vdi", "@in.raw", "dynamic"}, "", CALL_WRITE, 6, ENOSPC,
         "\rconverting 0%\rconverting 25%\rconverting 50%\rconverting 75%\rconverting 100%\n",
         "@a.vdi: No space left on device\n@a.vdi: failed to write vdi header\n", true},
        {"raw read error", {"convertfromraw", "@a.vdi", "@in.raw", "dynamic"}, "", CALL_READ, 2, EIO,
         "\rconverting 0%\rconverting 25%\n",
         "@in.raw: Input/output error\n@in.raw: failed to read block 1\n", true},
        {"raw size unknown", {"convertfromraw", "@a.vdi", "@in.raw"}, "", CALL_GETSIZE, 1, EIO, "",
         "@in.raw: Input/output error\n", false},
        {"no memory for the buffer", {"convertfromraw", "@a.vdi", "@in.raw"}, "", CALL_ALLOC, 5, ENOMEM,
         "", "imgsmith: not enough memory\n", true},
        {"no memory for the map", {"converttoraw", "@a.vdi", "@out.raw"}, good, CALL_ALLOC, 3, ENOMEM,
         "", "imgsmith: not enough memory\n", false},
        {"image on read-only media", {"convertfromraw", "@ro.vdi", "@in.raw"}, "", CALL_KINDS, 0, 0, "",
         "@ro.vdi: Read-only file system\n", false},
    };
    for (const auto& c : cases) {
        hook_reset();
        ::unlink(p("a.vdi").c_str());
        ::unlink(p("out.raw").c_str());
        if (!c.image.empty()) write_file(p("a.vdi"), c.image);
        hook_read_only_file(p("ro.vdi"));
        if (c.call != CALL_KINDS) hook_fail_call(c.call, c.nth, c.err);
        std::vector<std::string> words;
        for (std::string w : c.words) words.push_back(w[0] == '@' ? p(w.c_str() + 1) : w);
        result r = run_cmd(words);
        std::string err = c.err_text;
        for (size_t at; (at = err.find('@')) != std::string::npos;) {
            size_t end = err.find(':', at);
            err.replace(at, end - at, p(err.substr(at + 1, end - at - 1).c_str()));
        }
        EXPECT_EQ(r.rc, 20) << c.what;
        EXPECT_EQ(r.out, BANNER + c.out) << c.what;
        EXPECT_EQ(r.err, err) << c.what;
        const std::string output = words[0] == "converttoraw" ? words[2] : words[1];
        EXPECT_EQ(file_exists(output), c.output_exists) << c.what;
        EXPECT_TRUE(read_file(p("in.raw")) == raw) << c.what;  // the input is never changed
        EXPECT_EQ(hook_open_files(), 0) << c.what;
        EXPECT_EQ(hook_live_allocations(), 0) << c.what;
    }
}

TEST_F(Convert, BreakAtEveryPoll) {
    std::string raw = raw_disk("d0dd");
    write_file(p("in.raw"), raw);
    ASSERT_EQ(run_cmd({"convertfromraw", p("good.vdi"), p("in.raw"), "dynamic"}).rc, 0);
    const char* percents[] = {"0", "25", "50", "75"};
    for (int to_raw = 0; to_raw < 2; ++to_raw) {
        for (uint32_t poll = 1; poll <= 4; ++poll) {
            hook_reset();
            hook_break_at_poll(poll);
            std::vector<std::string> words =
                to_raw ? std::vector<std::string>{"converttoraw", p("good.vdi"), p("out.raw")}
                       : std::vector<std::string>{"convertfromraw", p("a.vdi"), p("in.raw"), "dynamic"};
            result r = run_cmd(words);
            std::string progress;
            for (uint32_t i = 0; i < poll; ++i) progress += std::string("\rconverting ") + percents[i] + "%";
            EXPECT_EQ(r.rc, 20);
            EXPECT_EQ(r.all, BANNER + progress + "\nimgsmith: interrupted\n");
            EXPECT_TRUE(file_exists(to_raw ? p("out.raw") : p("a.vdi")));  // the partial output stays
            EXPECT_EQ(hook_open_files(), 0);
            EXPECT_EQ(hook_live_allocations(), 0);
        }
    }
}

TEST_F(Convert, SameFileIsRefused) {
    std::string raw = raw_disk("d");
    write_file(p("disk"), raw);
    ASSERT_EQ(::link(p("disk").c_str(), p("link").c_str()), 0);
    ASSERT_EQ(run_cmd({"convertfromraw", p("a.vdi"), p("disk")}).rc, 0);
    const std::string image = read_file(p("a.vdi"));
    ASSERT_EQ(::link(p("a.vdi").c_str(), p("a-link.vdi").c_str()), 0);
    struct {
        std::vector<std::string> words;
        std::string named;
    } cases[] = {
        {{"convertfromraw", p("disk"), p("disk")}, p("disk")},
        {{"convertfromraw", dir_ + "/./disk", p("disk"), "dynamic"}, dir_ + "/./disk"},
        {{"convertfromraw", p("link"), p("disk")}, p("link")},
        {{"converttoraw", p("a.vdi"), p("a.vdi")}, p("a.vdi")},
        {{"converttoraw", p("a.vdi"), p("a-link.vdi")}, p("a-link.vdi")},
    };
    for (const auto& c : cases) {
        result r = run_cmd(c.words);
        EXPECT_EQ(r.rc, 20);
        EXPECT_EQ(r.out, BANNER);
        EXPECT_EQ(r.err, c.named + ": input and output are the same file\n");
        EXPECT_TRUE(read_file(p("disk")) == raw);
        EXPECT_TRUE(read_file(p("a.vdi")) == image);
    }
}

TEST_F(Convert, RawTooLargeIsRefused) {
    // A sparse file of 1048576 GiB needs a file system that takes it.
    std::string name = "/dev/shm/imgsmith-huge-" + std::to_string(::getpid());
    std::string out;
    if (shell("truncate -s 1048576G " + name, &out) != 0) GTEST_SKIP() << "no sparse file of 1 PiB here: " << out;
    result r = run_cmd({"convertfromraw", p("a.vdi"), name});
    ::unlink(name.c_str());
    EXPECT_EQ(r.rc, 20);
    EXPECT_EQ(r.err, name + ": raw file too large for a vdi file\n");
    EXPECT_FALSE(file_exists(p("a.vdi")));
}

TEST_F(Convert, SparseRawInputKeepsItsContent) {
    // Holes in the raw input are known zeros; data between them still counts.
    std::string name = p("sparse.raw");
    ASSERT_EQ(shell("truncate -s 8M " + name + " && printf x | dd of=" + name +
                    " bs=1 seek=5242880 conv=notrunc status=none && printf y | dd of=" + name +
                    " bs=1 seek=8388607 conv=notrunc status=none"),
              0);
    for (const char* type : {"dynamic", "fixed"}) {
        ASSERT_EQ(run_cmd({"convertfromraw", p("a.vdi"), name, type}).rc, 0);
        std::string img = read_file(p("a.vdi"));
        if (std::string(type) == "dynamic") {
            EXPECT_EQ(get32(img, 388), 2u);
            EXPECT_EQ(map_of(img), (std::vector<uint32_t>{FREE, FREE, FREE, FREE, FREE, 0, FREE, 1}));
        }
        ASSERT_EQ(run_cmd({"converttoraw", p("a.vdi"), p("out.raw")}).rc, 0);
        EXPECT_TRUE(read_file(p("out.raw")) == read_file(name)) << type;
    }
}

TEST_F(Convert, DiskFullOnSmallFileSystem) {
    std::string mnt = p("mnt");
    ::mkdir(mnt.c_str(), 0755);
    std::string out;
    if (shell("mount -t tmpfs -o size=3m tmpfs " + mnt, &out) != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << out;
    undo unmount{"umount " + mnt};
    std::string raw = raw_disk("dddddd");
    write_file(p("in.raw"), raw);
    result r = run_cmd({"convertfromraw", mnt + "/a.vdi", p("in.raw"), "dynamic"});
    EXPECT_EQ(r.rc, 20);
    EXPECT_NE(r.out.find("\n"), std::string::npos);  // progress line closed first
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), mnt + "/a.vdi: No space left on device\n");
    EXPECT_NE(r.err.find(mnt + "/a.vdi: failed to write block 2\n"), std::string::npos) << r.err;
    EXPECT_TRUE(read_file(p("in.raw")) == raw);
}

// A loop device over a file of the given size, or empty when none can be set up.
std::string attach_loop(const std::string& file, int64_t size, std::string* why) {
    if (shell("truncate -s " + std::to_string(size) + " " + file, why) != 0) return {};
    std::string dev;
    if (shell("losetup -f --show " + file, &dev) != 0) {
        *why = dev;
        return {};
    }
    while (!dev.empty() && (dev.back() == '\n' || dev.back() == ' ')) dev.pop_back();
    return dev;
}

TEST_F(Convert, BlockDevices) {
    std::string why;
    std::string backing = p("backing");
    std::string dev = attach_loop(backing, 4 * MiB, &why);
    if (dev.empty()) GTEST_SKIP() << "no loop device here: " << why;
    undo detach{"losetup -d " + dev};
    // The device holds old content everywhere.
    std::string old(4 * MiB, '\x55');
    {
        FILE* f = std::fopen(dev.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::fwrite(old.data(), 1, old.size(), f);
        std::fclose(f);
    }
    std::string raw = raw_disk("d0l", 3 * MiB - 7);
    write_file(p("in.raw"), raw);
    ASSERT_EQ(run_cmd({"convertfromraw", p("a.vdi"), p("in.raw"), "dynamic"}).rc, 0);

    // Image onto the device: every block written, zeros included; the rest
    // kept; and all of it synced before the command says it is done.
    hook_reset();
    result r = run_cmd({"converttoraw", p("a.vdi"), dev});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(hook_calls(CALL_SYNC), 1u);
    hook_fail_call(CALL_SYNC, 1, EIO);
    r = run_cmd({"converttoraw", p("a.vdi"), dev});
    EXPECT_EQ(r.rc, 20);
    EXPECT_EQ(r.err, dev + ": Input/output error\n" + dev + ": failed to sync raw file\n");
    EXPECT_EQ(r.out.find("conversion finished"), std::string::npos);
    shell("sync");
    std::string on_device = read_file(dev);
    EXPECT_TRUE(on_device.substr(0, raw.size()) == raw);
    EXPECT_TRUE(on_device.substr(raw.size()) == old.substr(raw.size()));

    // The device as raw input: its size comes from its end.
    r = run_cmd({"convertfromraw", p("b.vdi"), dev, "dynamic"});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(get64(read_file(p("b.vdi")), 368), 4 * MiB);

    // A device too short for the disk.
    write_file(p("big.raw"), raw_disk("dddd0"));
    ASSERT_EQ(run_cmd({"convertfromraw", p("big.vdi"), p("big.raw"), "dynamic"}).rc, 0);
    r = run_cmd({"converttoraw", p("big.vdi"), dev});
    EXPECT_EQ(r.rc, 20);
    EXPECT_EQ(r.err, dev + ": No space left on device\n" + dev + ": failed to allocate disk space for raw file\n");
}

}  // namespace
