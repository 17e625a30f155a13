#include "console/progress.h"

#include "os/os.h"

uint32_t last_percent = 0xFFFFFFFFu;

void display_progress(const char* label, uint32_t current, uint32_t total) {
    if (total == 0) return;  // nothing to measure against
    uint32_t percent = (current * 100u) / total;
    if (percent == last_percent) return;
    last_percent = percent;
    Printf("\r%s %ld%%", label, percent);
    Flush(StdOut);
}

void stop_progress() {
    if (last_percent == 0xFFFFFFFFu) return;
    Printf("\n");
    last_percent = 0xFFFFFFFFu;
}

bool break_requested() {
    if (!CheckSignal(SIGBREAKF_CTRL_C)) return false;
    stop_progress();
    PrintFault(ERROR_BREAK, "imgsmith");
    return true;
}
