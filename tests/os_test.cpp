// The platform layer and the little-endian helpers.
#include <cerrno>
#include <climits>
#include <csignal>
#include <unistd.h>

#include "helpers.h"
#include "image/format.h"
#include "os/os.h"

namespace {

using t::scratch;

TEST(Coding, LittleEndianBytes) {
    uint8_t b[8];
    encode_le32(b, 0xBEDA107F);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 4), std::string("\x7F\x10\xDA\xBE", 4));
    EXPECT_EQ(decode_le32(b), 0xBEDA107Fu);
    encode_le64(b, 5368709120ull);  // 5 GiB: low word first
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 8), std::string("\0\0\0\x40\x01\0\0\0", 8));
    EXPECT_EQ(decode_le64(b), 5368709120ull);
    for (uint64_t v : {0ull, 1ull, 0xFFull, 0x100ull, 0xFFFFFFFFull, 0x100000000ull, ~0ull}) {
        encode_le64(b, v);
        EXPECT_EQ(decode_le64(b), v);
    }
}

TEST(Coding, DataOffset) {
    EXPECT_EQ(data_offset_for(0), 512u);
    EXPECT_EQ(data_offset_for(1), 1024u);
    EXPECT_EQ(data_offset_for(128), 1024u);
    EXPECT_EQ(data_offset_for(129), 1536u);
    EXPECT_EQ(data_offset_for(1024), 4608u);
    EXPECT_EQ(data_offset_for(MAX_BLOCKS), 0xFFFFFE00u);
}

std::string formatted(void (*print)()) {
    os_capture c;
    hook_capture(&c);
    print();
    hook_capture(nullptr);
    return c.out;
}

TEST(Printf, Conversions) {
    struct {
        void (*print)();
        const char* expected;
    } cases[] = {
        {[] { Printf("%ld", -1); }, "-1"},
        {[] { Printf("%ld", 0xFFFFFFFFu); }, "-1"},
        {[] { Printf("%ld", INT32_MIN); }, "-2147483648"},
        {[] { Printf("%lu", 0xFFFFFFFFu); }, "4294967295"},
        {[] { Printf("%lx", 0xBEDA107Fu); }, "beda107f"},
        {[] { Printf("%08lx", 0u); }, "00000000"},
        {[] { Printf("%08lx", 0x1234u); }, "00001234"},
        {[] { Printf("0x%lx%08lx", 2u, 0x80000000u); }, "0x280000000"},
        {[] { Printf("%02ld", 5); }, "05"},
        {[] { Printf("%02ld", 99); }, "99"},
        {[] { Printf("%ld.%02ld GiB", 1, 50); }, "1.50 GiB"},
        {[] { Printf("%s %ld%%", "converting", 25); }, "converting 25%"},
        {[] { Printf("\r%s", "x"); }, "\rx"},
        {[] { Printf("%ld %s", 7); }, "7 %s"},  // missing argument: shown as written
    };
    for (const auto& c : cases) EXPECT_EQ(formatted(c.print), c.expected);
}

TEST(Printf, StandardOutputIsFlushedBeforeErrors) {
    os_capture c;
    hook_capture(&c);
    Printf("one ");
    FPrintf(StdErr, "two ");
    Printf("three");
    PrintFault(ERROR_BREAK, "imgsmith");
    hook_capture(nullptr);
    EXPECT_EQ(c.all, "one two threeimgsmith: interrupted\n");
    EXPECT_EQ(c.out, "one three");
}

TEST(PrintFault, Texts) {
    struct {
        int32_t code;
        const char* line;
    } cases[] = {
        {ERROR_NO_FREE_STORE, "imgsmith: not enough memory\n"},
        {ERROR_BREAK, "imgsmith: interrupted\n"},
    };
    for (const auto& c : cases) {
        os_capture cap;
        hook_capture(&cap);
        PrintFault(c.code, "imgsmith");
        hook_capture(nullptr);
        EXPECT_EQ(cap.err, c.line);
    }
}

TEST(StrToLong, Inputs) {
    struct {
        const char* text;
        int32_t used;
        int32_t value;
    } cases[] = {
        {"10", 2, 10},
        {"10GB", 2, 10},
        {"\t 7", 3, 7},
        {"-3", 2, -3},
        {"+4", 2, 4},
        {"0", 1, 0},
        {"", -1, 0},
        {"GB", -1, 0},
        {"-", -1, 0},
        {" - 1", -1, 0},
        {"2147483647", 10, INT32_MAX},
        {"2147483648", 10, INT32_MAX},
        {"99999999999999999999", 20, INT32_MAX},
        {"-2147483648", 11, INT32_MIN},
        {"-99999999999999999999", 21, INT32_MIN},
    };
    for (const auto& c : cases) {
        int32_t value = 0;
        EXPECT_EQ(StrToLong(c.text, &value), c.used) << c.text;
        if (c.used != -1) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST(Strings, CompareAndCopy) {
    EXPECT_EQ(Stricmp("create", "create"), 0);
    EXPECT_EQ(Stricmp("CrEaTe", "create"), 0);
    EXPECT_NE(Stricmp("creat", "create"), 0);
    EXPECT_NE(Stricmp("create ", "create"), 0);
    char buf[5];
    EXPECT_EQ(Strlcpy(buf, "abcdefgh", sizeof buf), 8u);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(Strlcpy(buf, "ab", sizeof buf), 2u);
    EXPECT_STREQ(buf, "ab");
}

TEST(Memory, FillValues) {
    auto* zero = static_cast<uint8_t*>(AllocVecTags(100, AVT_ClearWithValue, 0, TAG_END));
    auto* ones = static_cast<uint8_t*>(AllocVecTags(100, AVT_ClearWithValue, 0xFF, TAG_END));
    ASSERT_TRUE(zero && ones);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(zero[i], 0);
        EXPECT_EQ(ones[i], 0xFF);
    }
    FreeVec(zero);
    FreeVec(ones);
    FreeVec(nullptr);
    void* empty = AllocVecTagList(0, nullptr);  // an empty block map is a valid one
    EXPECT_NE(empty, nullptr);
    FreeVec(empty);
}

class Files : public scratch {};

TEST_F(Files, ReadWriteSizeAndPositions) {
    std::string name = path("f");
    os_file* f = Open(name.c_str(), MODE_NEWFILE);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(Write(f, "hello", 5), 5);
    EXPECT_EQ(GetFileSize(f), 5);
    EXPECT_TRUE(ChangeFilePosition(f, 5, OFFSET_BEGINNING));  // up to the length
    EXPECT_TRUE(ChangeFileSize(f, 1ll << 33, OFFSET_BEGINNING));  // 8 GiB, sparse
    EXPECT_EQ(GetFileSize(f), 1ll << 33);
    EXPECT_TRUE(ChangeFilePosition(f, (1ll << 33) - 2, OFFSET_BEGINNING));
    char buf[8];
    EXPECT_EQ(Read(f, buf, 8), 2);  // end of file: a short count
    EXPECT_EQ(buf[0], 0);
    EXPECT_TRUE(RangeIsHole(f, 4096, 1 << 20));
    EXPECT_FALSE(RangeIsHole(f, 0, 1 << 20));
    EXPECT_TRUE(ChangeFileSize(f, 3, OFFSET_BEGINNING));
    EXPECT_TRUE(ChangeFilePosition(f, 0, OFFSET_BEGINNING));
    EXPECT_EQ(Read(f, buf, 8), 3);
    EXPECT_EQ(std::string(buf, 3), "hel");
    EXPECT_FALSE(ChangeFileSize(f, -1, OFFSET_BEGINNING));
    Close(f);
    Close(nullptr);

    os_file* ro = Open(name.c_str(), MODE_READONLY);
    ASSERT_NE(ro, nullptr);
    EXPECT_EQ(Write(ro, "x", 1), -1);  // read only
    Close(ro);
    EXPECT_EQ(t::read_file(name), "hel");
    EXPECT_EQ(hook_open_files(), 0);
}

TEST_F(Files, MissingFileAndSameFile) {
    EXPECT_EQ(Open(path("missing").c_str(), MODE_OLDFILE), nullptr);
    os_capture c;
    hook_capture(&c);
    PrintFault(IoErr(), "missing");
    hook_capture(nullptr);
    EXPECT_EQ(c.err, "missing: No such file or directory\n");

    t::write_file(path("a"), "a");
    ASSERT_EQ(::link(path("a").c_str(), path("b").c_str()), 0);
    EXPECT_TRUE(SameFile(path("a").c_str(), path("b").c_str()));
    EXPECT_TRUE(SameFile(path("a").c_str(), (dir_ + "/./a").c_str()));
    t::write_file(path("c"), "a");
    EXPECT_FALSE(SameFile(path("a").c_str(), path("c").c_str()));
    EXPECT_FALSE(SameFile(path("a").c_str(), path("missing").c_str()));
}

TEST_F(Files, InjectedFaults) {
    std::string name = path("f");
    hook_fail_call(CALL_WRITE, 2, ENOSPC);
    os_file* f = Open(name.c_str(), MODE_NEWFILE);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(Write(f, "a", 1), 1);
    EXPECT_EQ(Write(f, "b", 1), -1);
    EXPECT_EQ(IoErr(), IoErr());
    EXPECT_EQ(Write(f, "c", 1), 1);  // one failure only
    hook_fail_call(CALL_READ, 1, EIO, true);
    char buf[1];
    EXPECT_EQ(Read(f, buf, 1), -1);
    EXPECT_EQ(Read(f, buf, 1), -1);  // sticky
    Close(f);
    EXPECT_EQ(hook_calls(CALL_WRITE), 3u);

    // Operating system codes never collide with the program's own.
    hook_fail_call(CALL_OPEN, 1, 103);
    EXPECT_EQ(Open(name.c_str(), MODE_OLDFILE), nullptr);
    EXPECT_NE(IoErr(), ERROR_NO_FREE_STORE);
    hook_fail_call(CALL_OPEN, 1, 304);
    EXPECT_EQ(Open(name.c_str(), MODE_OLDFILE), nullptr);
    EXPECT_NE(IoErr(), ERROR_BREAK);

    hook_fail_call(CALL_ALLOC, 1, ENOMEM);
    EXPECT_EQ(AllocVecTagList(16, nullptr), nullptr);
    hook_alloc_limit(1000);
    EXPECT_EQ(AllocVecTagList(1001, nullptr), nullptr);
    void* ok = AllocVecTagList(1000, nullptr);
    EXPECT_NE(ok, nullptr);
    FreeVec(ok);
}

TEST(Break, PolledAndCleared) {
    hook_reset();
    EXPECT_FALSE(CheckSignal(SIGBREAKF_CTRL_C));
    hook_break_at_poll(2);
    EXPECT_FALSE(CheckSignal(SIGBREAKF_CTRL_C));
    EXPECT_TRUE(CheckSignal(SIGBREAKF_CTRL_C));
    EXPECT_FALSE(CheckSignal(SIGBREAKF_CTRL_C));  // cleared by the check

    StartUp();
    ::raise(SIGINT);  // does not end the process
    EXPECT_TRUE(CheckSignal(SIGBREAKF_CTRL_C));
    EXPECT_FALSE(CheckSignal(SIGBREAKF_CTRL_C));
}

}  // namespace
