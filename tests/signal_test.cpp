// A real Ctrl-C (SIGINT) sent to the running program, once its progress
// line shows it is at work.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "helpers.h"

namespace {

using namespace t;

// Starts the program, waits until its output contains `marker`, sends
// SIGINT, and collects everything it printed (stdout and stderr in one).
result interrupt_at(const std::vector<std::string>& words, const std::string& marker) {
    std::vector<std::string> storage = tool_command(words);
    std::vector<char*> argv;
    for (std::string& w : storage) argv.push_back(w.data());
    argv.push_back(nullptr);
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    result r;
    bool sent = false;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
        r.all.append(buf, static_cast<size_t>(n));
        if (!sent && r.all.find(marker) != std::string::npos) {
            ::kill(pid, SIGINT);
            sent = true;
        }
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    EXPECT_TRUE(sent) << "the marker never showed: " << r.all;
    return r;
}

class Signal : public scratch {
protected:
    // 1 GiB of raw disk, every other block holding data: long enough to be
    // caught at work.
    void make_raw() {
        std::string data = pattern_block(MiB, 3), zero(MiB, '\0');
        FILE* f = std::fopen(path("in.raw").c_str(), "wb");
        for (int i = 0; i < 1024; ++i) std::fwrite((i % 2 ? zero : data).data(), 1, MiB, f);
        std::fclose(f);
    }
    void expect_interrupted(const result& r, const std::string& label) {
        EXPECT_EQ(r.rc, 20) << label << ": " << r.all;
        // The progress line is closed, then the break is reported, last.
        const std::string tail = "\nimgsmith: interrupted\n";
        ASSERT_GE(r.all.size(), tail.size()) << label;
        EXPECT_EQ(r.all.substr(r.all.size() - tail.size()), tail) << label;
        EXPECT_EQ(r.all.find("finished"), std::string::npos) << label;
    }
};

TEST_F(Signal, ConversionsStopCleanly) {
    make_raw();
    result r = interrupt_at({"convertfromraw", path("a.vdi"), path("in.raw"), "dynamic"}, "converting 1%");
    expect_interrupted(r, "convertfromraw");
    EXPECT_TRUE(file_exists(path("a.vdi")));  // the partial image stays

    ASSERT_EQ(run_tool({"convertfromraw", path("b.vdi"), path("in.raw"), "dynamic"}).rc, 0);
    r = interrupt_at({"converttoraw", path("b.vdi"), path("out.raw")}, "converting 1%");
    expect_interrupted(r, "converttoraw");
    EXPECT_EQ(file_size(path("out.raw")), 1024ll * MiB);
}

TEST_F(Signal, CompactKeepsEveryBlock) {
    make_raw();
    // Every block stored, half of them zero: compact has to move data.
    ASSERT_EQ(run_tool({"convertfromraw", path("a.vdi"), path("in.raw"), "fixed"}).rc, 0);
    std::string header = read_file(path("a.vdi"), 512);
    put32(header, 76, 1);
    FILE* f = std::fopen(path("a.vdi").c_str(), "r+b");
    std::fwrite(header.data(), 1, 512, f);
    std::fclose(f);
    const std::vector<size_t> original = file_digest(path("a.vdi"));
    const std::vector<size_t> content = disk_digest(path("a.vdi"));
    ASSERT_EQ(content.size(), 1024u);

    result r = interrupt_at({"compact", path("a.vdi")}, "checking 1%");
    expect_interrupted(r, "checking");
    EXPECT_TRUE(file_digest(path("a.vdi")) == original);  // untouched

    r = interrupt_at({"compact", path("a.vdi")}, "compacting 1%");
    expect_interrupted(r, "compacting");
    EXPECT_TRUE(disk_digest(path("a.vdi")) == content);

    r = run_tool({"compact", path("a.vdi")});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(disk_digest(path("a.vdi")) == content);
    EXPECT_EQ(file_size(path("a.vdi")), 4608 + 512ll * MiB);  // offset_data, then the kept half
}

}  // namespace
