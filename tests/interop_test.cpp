// Images checked by other programs that read VDI: qemu-img and 7-Zip, run
// as black boxes. Each test skips, saying why, where its program is absent.
#include <cerrno>

#include "helpers.h"

namespace {

using namespace t;

#define NEED(program) \
    if (find_program(program).empty()) GTEST_SKIP() << program " is not installed: skipped"

class Interop : public scratch {
protected:
    void expect_qemu_clean(const std::string& image, const std::string& what) {
        std::string out;
        EXPECT_EQ(shell("qemu-img check -f vdi " + image, &out), 0) << what << ": " << out;
        EXPECT_NE(out.find("No errors were found"), std::string::npos) << what << ": " << out;
    }
    void expect_qemu_same(const std::string& raw, const std::string& image, const std::string& what) {
        std::string out;
        EXPECT_EQ(shell("qemu-img compare -f raw -F vdi " + raw + " " + image, &out), 0) << what << ": " << out;
    }
    void expect_7zip_same(const std::string& raw, const std::string& image, const std::string& what) {
        std::string dir = path("x");
        std::string out;
        shell("rm -rf " + dir);
        ASSERT_EQ(shell("7zz e -y -o" + dir + " " + image, &out), 0) << what << ": " << out;
        ASSERT_EQ(shell("cmp " + raw + " " + dir + "/*", &out), 0) << what << ": " << out;
    }
    // Raw content with data, zero and partly zero blocks, not a whole
    // number of blocks long.
    std::string mixed_raw() {
        std::string last_byte(MiB, '\0');
        last_byte[MiB - 1] = 9;
        return pattern_block(MiB, 1) + std::string(MiB, '\0') + pattern_block(MiB, 2) +
               std::string(MiB, '\0') + last_byte + pattern_block(4096, 3);
    }
    // A VDI written by qemu-img, with its identifying text replaced by ours.
    void qemu_image(const std::string& raw_name, const std::string& name, bool fixed) {
        std::string out;
        ASSERT_EQ(shell("qemu-img convert -f raw -O vdi " + std::string(fixed ? "-o static=on " : "") +
                            raw_name + " " + name,
                        &out),
                  0)
            << out;
        std::string img = read_file(name);
        std::string text(64, '\0');
        text.replace(0, 34, "<<< Sun VirtualBox Disk Image >>>\n");
        img.replace(0, 64, text);
        write_file(name, img);
    }
};

TEST_F(Interop, QemuAcceptsCreatedImages) {
    NEED("qemu-img");
    struct {
        std::vector<std::string> words;
        const char* virtual_size;
    } cases[] = {
        {{"fixed", "1"}, "\"virtual-size\": 1073741824"},
        {{"dynamic", "2"}, "\"virtual-size\": 2147483648"},
        {{"dynamic", "1000"}, "\"virtual-size\": 1073741824000"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words{"create", path("a.vdi")};
        words.insert(words.end(), c.words.begin(), c.words.end());
        ASSERT_EQ(run_cmd(words).rc, 0);
        expect_qemu_clean(path("a.vdi"), c.words[1]);
        std::string out;
        shell("qemu-img info --output=json " + path("a.vdi"), &out);
        EXPECT_NE(out.find(c.virtual_size), std::string::npos) << out;
    }
}

TEST_F(Interop, ConvertedImagesMatchTheirRawInput) {
    NEED("qemu-img");
    write_file(path("in.raw"), mixed_raw());
    for (const char* type : {"fixed", "dynamic"}) {
        ASSERT_EQ(run_cmd({"convertfromraw", path("a.vdi"), path("in.raw"), type}).rc, 0);
        expect_qemu_clean(path("a.vdi"), type);
        expect_qemu_same(path("in.raw"), path("a.vdi"), type);
    }
}

TEST_F(Interop, SevenZipExtractsTheRawContent) {
    NEED("7zz");
    write_file(path("in.raw"), mixed_raw());
    for (const char* type : {"fixed", "dynamic"}) {
        ASSERT_EQ(run_cmd({"convertfromraw", path("a.vdi"), path("in.raw"), type}).rc, 0);
        expect_7zip_same(path("in.raw"), path("a.vdi"), type);
    }
    // A compacted image too.
    ASSERT_EQ(run_cmd({"compact", path("a.vdi")}).rc, 0);
    expect_7zip_same(path("in.raw"), path("a.vdi"), "compacted");
}

TEST_F(Interop, QemuImagesConvertBack) {
    NEED("qemu-img");
    std::string raw = mixed_raw();
    write_file(path("in.raw"), raw);
    for (bool fixed : {false, true}) {
        qemu_image(path("in.raw"), path("q.vdi"), fixed);
        result r = run_cmd({"converttoraw", path("q.vdi"), path("out.raw")});
        ASSERT_EQ(r.rc, 0) << r.err;
        // qemu-img rounds the disk up to whole sectors.
        std::string out = read_file(path("out.raw"));
        ASSERT_GE(out.size(), raw.size());
        EXPECT_TRUE(out.substr(0, raw.size()) == raw);
        EXPECT_EQ(out.find_first_not_of('\0', raw.size()), std::string::npos);
    }
}

TEST_F(Interop, CompactedQemuImageKeepsItsContent) {
    NEED("qemu-img");
    // Data blocks that are all zero inside the image: qemu-img stores what
    // it is given, so write zeros over stored blocks through qemu-img itself.
    std::string raw = mixed_raw();
    write_file(path("in.raw"), raw);
    qemu_image(path("in.raw"), path("q.vdi"), false);
    std::string out;
    ASSERT_EQ(shell("qemu-io -f vdi -c 'write -z 0 1M' " + path("q.vdi"), &out), 0) << out;
    raw.replace(0, MiB, std::string(MiB, '\0'));
    write_file(path("zeroed.raw"), raw);
    result r = run_cmd({"compact", path("q.vdi")});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("Blocks to compact: 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("compacting finished\n"), std::string::npos) << r.out;
    expect_qemu_clean(path("q.vdi"), "compacted");
    expect_qemu_same(path("zeroed.raw"), path("q.vdi"), "compacted");
}

// Every state a stopped compaction leaves is an image qemu-img accepts,
// with the old content.
TEST_F(Interop, InterruptedCompactionsStayValid) {
    NEED("qemu-img");
    std::string raw;
    for (uint32_t i = 0; i < 8; ++i) raw += i % 2 == 0 && i < 5 ? std::string(MiB, '\0') : pattern_block(MiB, i);
    write_file(path("in.raw"), raw);
    // Store every block, zeros included, so that compact has work to do.
    ASSERT_EQ(run_cmd({"convertfromraw", path("full.vdi"), path("in.raw"), "fixed"}).rc, 0);
    std::string full = read_file(path("full.vdi"));
    put32(full, 76, 1);  // the same layout, as a dynamic image
    write_file(path("full.vdi"), full);
    expect_qemu_clean(path("full.vdi"), "before");

    for (int mode = 0; mode < 2; ++mode) {
        for (uint32_t n = 1; n <= 13; ++n) {
            write_file(path("a.vdi"), full);
            hook_reset();
            if (mode == 0) hook_break_at_poll(n);
            else hook_fail_call(CALL_WRITE, n, ENOSPC);
            run_cmd({"compact", path("a.vdi")});
            std::string what = (mode == 0 ? "break at poll " : "failed write ") + std::to_string(n);
            expect_qemu_clean(path("a.vdi"), what);
            expect_qemu_same(path("in.raw"), path("a.vdi"), what);
        }
    }
}

}  // namespace
