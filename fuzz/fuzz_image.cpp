// Fuzz target: arbitrary bytes as an image file, given to info, converttoraw
// (into a scratch file) and compact (on a scratch copy). Any crash, leak,
// sanitizer report or resource left held is a finding.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/cli.h"
#include "os/hooks.h"

namespace {

std::string scratch_dir;

void write_bytes(const std::string& name, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

int run(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    os_capture sink;  // keeps the console quiet
    hook_capture(&sink);
    int rc = imgsmith_main(static_cast<int>(words.size()), argv.data());
    hook_capture(nullptr);
    if (rc != 0 && rc != 20) std::abort();
    if (rc == 20 && sink.err.empty()) std::abort();  // a failure always says why
    if (hook_open_files() != 0 || hook_live_allocations() != 0) std::abort();
    return rc;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // tmpfs where there is one: sync is free there and sparse files are cheap.
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string templ = std::string(base) + "/imgsmith-fuzz-XXXXXX";
    if (!mkdtemp(templ.data())) std::abort();
    scratch_dir = templ;
    // A header asking for more than this gets the out-of-memory fault line.
    hook_alloc_limit(128u << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string image = scratch_dir + "/in.vdi";
    const std::string raw = scratch_dir + "/out.raw";
    write_bytes(image, data, size);
    run({"imgsmith", "info", image});
    run({"imgsmith", "converttoraw", image, raw});
    ::unlink(raw.c_str());
    write_bytes(image, data, size);
    run({"imgsmith", "compact", image});
    ::unlink(image.c_str());
    return 0;
}
