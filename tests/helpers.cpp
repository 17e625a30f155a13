#include "helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli.h"
#include "console/progress.h"

namespace t {

const char* const BANNER = "imgsmith v1.2 - VDI disk image tool\n";
const char* const USAGE =
    "Usage: imgsmith <command> <.vdi file> [options]\n"
    "Commands:\n"
    "  create          Create a new .vdi file\n"
    "  info            List information about .vdi file\n"
    "  compact         Compact a dynamic .vdi file\n"
    "  convertfromraw  Convert raw (.hdf) to .vdi file\n"
    "  converttoraw    Convert .vdi to raw (.hdf) file\n"
    "Command syntax:\n"
    "  imgsmith create <.vdi file> [fixed|dynamic] <size>\n"
    "  imgsmith info <.vdi file>\n"
    "  imgsmith compact <.vdi file>\n"
    "  imgsmith convertfromraw <.vdi file> <raw file> [fixed|dynamic]\n"
    "  imgsmith converttoraw <.vdi file> <raw file>\n";

void scratch::SetUp() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/imgsmith-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    dir_ = buf.data();
    hook_reset();
}

void scratch::TearDown() {
    hook_reset();
    hook_capture(nullptr);
    hook_journal(nullptr);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string read_file(const std::string& path, size_t most) {
    std::string bytes;
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return bytes;
    off_t end = ::lseek(fd, 0, SEEK_END);
    size_t want = end > 0 ? std::min(most, static_cast<size_t>(end)) : 0;
    bytes.resize(want);
    size_t done = 0;
    while (done < want) {
        ssize_t n = ::pread(fd, bytes.data() + done, want - done, static_cast<off_t>(done));
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
    ::close(fd);
    return bytes;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int64_t file_size(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

bool file_exists(const std::string& path) { return file_size(path) >= 0; }

uint32_t get32(const std::string& b, size_t o) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[o])) |
           static_cast<uint32_t>(static_cast<uint8_t>(b[o + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[o + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[o + 3])) << 24;
}

uint64_t get64(const std::string& b, size_t o) {
    return get32(b, o) | static_cast<uint64_t>(get32(b, o + 4)) << 32;
}

void put32(std::string& b, size_t o, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[o + i] = static_cast<char>(v >> (8 * i));
}

void put64(std::string& b, size_t o, uint64_t v) {
    put32(b, o, static_cast<uint32_t>(v));
    put32(b, o + 4, static_cast<uint32_t>(v >> 32));
}

std::string make_header(const layout& l) {
    std::string h(512, '\0');
    const char* text = "<<< Sun VirtualBox Disk Image >>>\n";
    std::memcpy(&h[0], text, std::strlen(text));
    put32(h, 64, 0xBEDA107F);
    put32(h, 68, l.version);
    put32(h, 72, 400);
    put32(h, 76, l.type);
    put32(h, 340, l.offset_blocks);
    put32(h, 344, l.offset_data ? l.offset_data : 512 + ((4 * l.blocks + 511) & ~511u));
    put32(h, 360, 512);
    put64(h, 368, l.disk_size ? l.disk_size : static_cast<uint64_t>(l.blocks) * l.block_size);
    put32(h, 376, l.block_size);
    put32(h, 384, l.blocks);
    put32(h, 388, l.allocated);
    return h;
}

void write_image(const std::string& path, const layout& l, const std::vector<uint32_t>& map,
                 const std::vector<std::string>& data) {
    std::string bytes = make_header(l);
    std::string m(4 * map.size(), '\0');
    for (size_t i = 0; i < map.size(); ++i) put32(m, 4 * i, map[i]);
    size_t map_end = l.offset_blocks + m.size();
    if (bytes.size() < map_end) bytes.resize(map_end, '\0');
    bytes.replace(l.offset_blocks, m.size(), m);
    size_t offset_data = get32(bytes, 344);
    for (size_t k = 0; k < data.size(); ++k) {
        std::string b = data[k];
        b.resize(l.block_size, '\0');
        size_t at = offset_data + k * l.block_size;
        if (bytes.size() < at + b.size()) bytes.resize(at + b.size(), '\0');
        bytes.replace(at, b.size(), b);
    }
    if (bytes.size() < offset_data) bytes.resize(offset_data, '\0');
    write_file(path, bytes);
}

std::string pattern_block(uint32_t size, uint32_t seed) {
    std::string b(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (uint32_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<char>(x >> 16);
    }
    b[0] = static_cast<char>(seed | 1);
    return b;
}

std::vector<uint32_t> map_of(const std::string& img) {
    uint32_t blocks = get32(img, 384), offset_blocks = get32(img, 340);
    std::vector<uint32_t> map(blocks);
    for (uint32_t i = 0; i < blocks; ++i) map[i] = get32(img, offset_blocks + 4 * i);
    return map;
}

std::vector<std::string> disk_blocks(const std::string& img) {
    uint32_t block_size = get32(img, 376), offset_data = get32(img, 344);
    std::vector<std::string> out;
    for (uint32_t entry : map_of(img)) {
        if (entry == FREE) {
            out.emplace_back(block_size, '\0');
            continue;
        }
        uint64_t at = offset_data + static_cast<uint64_t>(entry) * block_size;
        std::string b = at < img.size() ? img.substr(at, block_size) : std::string();
        b.resize(block_size, '\0');
        out.push_back(b);
    }
    return out;
}

std::vector<size_t> disk_digest(const std::string& path) {
    std::string header = read_file(path, 512);
    std::vector<size_t> out;
    if (header.size() < 512) return out;
    uint32_t block_size = get32(header, 376), offset_data = get32(header, 344);
    std::string map = read_file(path, get32(header, 340) + 4ull * get32(header, 384)).substr(get32(header, 340));
    int fd = ::open(path.c_str(), O_RDONLY);
    std::string block(block_size, '\0');
    for (size_t i = 0; i + 4 <= map.size(); i += 4) {
        uint32_t entry = get32(map, i);
        std::fill(block.begin(), block.end(), '\0');
        if (entry != FREE) {
            off_t at = static_cast<off_t>(offset_data + static_cast<uint64_t>(entry) * block_size);
            for (size_t done = 0; done < block_size;) {
                ssize_t n = ::pread(fd, block.data() + done, block_size - done, at + static_cast<off_t>(done));
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
        }
        out.push_back(std::hash<std::string>{}(block));
    }
    ::close(fd);
    return out;
}

std::vector<size_t> file_digest(const std::string& path) {
    std::vector<size_t> out;
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return out;
    std::string piece(MiB, '\0');
    for (ssize_t n; (n = ::read(fd, piece.data(), MiB)) > 0;)
        out.push_back(std::hash<std::string_view>{}(std::string_view(piece.data(), static_cast<size_t>(n))));
    ::close(fd);
    return out;
}

result run_cmd(const std::vector<std::string>& words) {
    std::vector<std::string> storage{"imgsmith"};
    storage.insert(storage.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& w : storage) argv.push_back(w.data());
    argv.push_back(nullptr);
    os_capture capture;
    hook_capture(&capture);
    result r;
    r.rc = imgsmith_main(static_cast<int>(storage.size()), argv.data());
    hook_capture(nullptr);  // flushes what is still buffered
    // Output buffered before the capture was switched off was flushed into it.
    r.out = capture.out;
    r.err = capture.err;
    r.all = capture.all;
    EXPECT_EQ(last_percent, 0xFFFFFFFFu) << "progress line left open";
    return r;
}

namespace {

std::vector<std::string> split_words(const char* text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

}  // namespace

std::vector<std::string> tool_command(const std::vector<std::string>& words) {
    std::vector<std::string> command = split_words(IMGSMITH_EMULATOR);
    command.push_back(IMGSMITH_BINARY);
    command.insert(command.end(), words.begin(), words.end());
    return command;
}

result run_tool(const std::vector<std::string>& words, bool merged) {
    std::vector<std::string> storage = tool_command(words);
    std::vector<char*> argv;
    for (std::string& w : storage) argv.push_back(w.data());
    argv.push_back(nullptr);

    char out_name[] = "/tmp/imgsmith-out-XXXXXX";
    char err_name[] = "/tmp/imgsmith-err-XXXXXX";
    int out_fd = mkstemp(out_name), err_fd = mkstemp(err_name);
    result r;
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = ::open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(out_fd, 1);
        dup2(merged ? out_fd : err_fd, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    ::close(out_fd);
    ::close(err_fd);
    (merged ? r.all : r.out) = read_file(out_name);
    if (!merged) r.err = read_file(err_name);
    ::unlink(out_name);
    ::unlink(err_name);
    return r;
}

std::string find_program(const char* name) {
    const char* path = std::getenv("PATH");
    std::istringstream in(path ? path : "");
    for (std::string dir; std::getline(in, dir, ':');) {
        std::string candidate = dir + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

int shell(const std::string& command, std::string* output) {
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
    int status = ::pclose(p);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace t
