// The progress line.
#include "console/progress.h"
#include "helpers.h"
#include "os/os.h"

namespace {

struct step {
    char op;  // 'd': display_progress(label, current, total); 's': stop_progress()
    uint32_t current, total;
    const char* printed;
};

std::string run_steps(const std::vector<step>& steps, std::vector<std::string>* each) {
    os_capture c;
    hook_capture(&c);
    for (const step& s : steps) {
        size_t before = c.out.size();
        if (s.op == 'd')
            display_progress("converting", s.current, s.total);
        else
            stop_progress();
        Flush(StdOut);
        each->push_back(c.out.substr(before));
    }
    stop_progress();
    hook_capture(nullptr);
    return c.out;
}

TEST(Progress, Table) {
    struct {
        const char* what;
        std::vector<step> steps;
    } cases[] = {
        {"quarters", {{'d', 0, 4, "\rconverting 0%"}, {'d', 1, 4, "\rconverting 25%"},
                      {'d', 1, 4, ""}, {'d', 4, 4, "\rconverting 100%"}, {'s', 0, 0, "\n"}}},
        {"stop without a line", {{'s', 0, 0, ""}, {'s', 0, 0, ""}}},
        {"stop twice", {{'d', 0, 4, "\rconverting 0%"}, {'s', 0, 0, "\n"}, {'s', 0, 0, ""}}},
        {"shown again after a stop",
         {{'d', 1, 2, "\rconverting 50%"}, {'s', 0, 0, "\n"}, {'d', 1, 2, "\rconverting 50%"},
          {'s', 0, 0, "\n"}}},
        {"whole percentages only",
         {{'d', 0, 1000, "\rconverting 0%"}, {'d', 9, 1000, ""}, {'d', 10, 1000, "\rconverting 1%"}}},
        {"total 0 prints nothing", {{'d', 0, 0, ""}, {'d', 5, 0, ""}, {'s', 0, 0, ""}}},
        {"total 0 keeps an open line",
         {{'d', 1, 4, "\rconverting 25%"}, {'d', 0, 0, ""}, {'s', 0, 0, "\n"}}},
        // The product wraps in 32 bits, as it always has.
        {"wrapping product", {{'d', 42949673, 100000000, "\rconverting 0%"}}},
        {"beyond the total", {{'d', 6, 4, "\rconverting 150%"}}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> each;
        run_steps(c.steps, &each);
        for (size_t i = 0; i < c.steps.size(); ++i)
            EXPECT_EQ(each[i], c.steps[i].printed) << c.what << ", step " << i;
        EXPECT_EQ(last_percent, 0xFFFFFFFFu);
    }
}

TEST(Progress, BreakClosesTheLine) {
    hook_reset();
    os_capture c;
    hook_capture(&c);
    display_progress("checking", 1, 2);
    EXPECT_FALSE(break_requested());
    hook_break_at_poll(1);
    EXPECT_TRUE(break_requested());
    hook_capture(nullptr);
    EXPECT_EQ(c.all, "\rchecking 50%\nimgsmith: interrupted\n");
    EXPECT_EQ(last_percent, 0xFFFFFFFFu);
}

}  // namespace
