// Shared test fixtures: scratch directories, image builders, and ways to run
// a command line in process (with the platform seam) or as the real program.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstddef>
#include <string>
#include <vector>

#include "os/hooks.h"

namespace t {

constexpr uint32_t MiB = 1u << 20;
constexpr uint32_t FREE = 0xFFFFFFFFu;

// A directory of its own for each test, removed afterwards.
class scratch : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

std::string read_file(const std::string& path, size_t most = SIZE_MAX);
void write_file(const std::string& path, const std::string& bytes);
int64_t file_size(const std::string& path);
bool file_exists(const std::string& path);

uint32_t get32(const std::string& bytes, size_t offset);
uint64_t get64(const std::string& bytes, size_t offset);
void put32(std::string& bytes, size_t offset, uint32_t value);
void put64(std::string& bytes, size_t offset, uint64_t value);

// A header as the program writes it, for the given layout.
struct layout {
    uint32_t type = 1;
    uint32_t blocks = 4;
    uint32_t block_size = MiB;
    uint32_t allocated = 0;
    uint64_t disk_size = 0;  // 0: blocks * block_size
    uint32_t offset_blocks = 512;
    uint32_t offset_data = 0;  // 0: the usual value for blocks
    uint32_t version = 0x00010001;
};
std::string make_header(const layout& l);

// Writes a whole image: header, map, and the data places given (place k is
// data[k], padded or cut to the block size).
void write_image(const std::string& path, const layout& l, const std::vector<uint32_t>& map,
                 const std::vector<std::string>& data);
// A block of the given size whose bytes follow from the seed (never all zero).
std::string pattern_block(uint32_t size, uint32_t seed);
// The disk content an image file describes, block by block (unallocated
// blocks as zeros), read straight from the file.
std::vector<std::string> disk_blocks(const std::string& image_bytes);
std::vector<uint32_t> map_of(const std::string& image_bytes);
// A hash of each disk block's content, read from the image file block by
// block: for images too large to hold twice in memory.
std::vector<size_t> disk_digest(const std::string& path);
// A hash of a whole file's bytes and length, read in pieces.
std::vector<size_t> file_digest(const std::string& path);

struct result {
    int rc = -1;
    std::string out, err, all;
};

// Runs the command line in this process, through the platform seam; the
// words are the ones after the program name.
result run_cmd(const std::vector<std::string>& words);
// Runs the built program; the words follow the program name. With merged,
// stdout and stderr go to one pipe and only `all` is filled.
result run_tool(const std::vector<std::string>& words, bool merged = false);
// The command line that runs the built program (through the emulator when
// it is built for another machine), followed by the words.
std::vector<std::string> tool_command(const std::vector<std::string>& words);
// The banner line every run starts with.
extern const char* const BANNER;
extern const char* const USAGE;

// A program on the PATH, for interoperability checks; empty when absent.
std::string find_program(const char* name);
// Runs a shell command, returns its exit status and output.
int shell(const std::string& command, std::string* output = nullptr);

}  // namespace t
