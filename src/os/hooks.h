// The test seam of the operating system layer. Tests use it to make a chosen
// call fail, to deliver a break at a chosen poll, to capture console output
// and to record every change made to files. Nothing in the program itself
// calls these; with no hook set the layer behaves exactly as in production.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum os_call {
    CALL_OPEN,
    CALL_READ,
    CALL_WRITE,
    CALL_SEEK,
    CALL_SETSIZE,
    CALL_GETSIZE,
    CALL_SYNC,
    CALL_ALLOC,
    CALL_KINDS
};

// The nth call of the kind from now on (1 = the next one) fails with the
// errno value err. With sticky set, every later call of that kind fails too,
// as after a crash.
void hook_fail_call(os_call kind, uint32_t nth, int err, bool sticky = false);
// A break arrives just before the nth CheckSignal from now on.
void hook_break_at_poll(uint32_t nth);
// Opening this file for writing fails as on read-only media (empty: none).
void hook_read_only_file(const std::string& name);
// Allocations larger than this fail (0: no limit).
void hook_alloc_limit(uint64_t bytes);
// Calls of the kind made since the last hook_reset.
uint32_t hook_calls(os_call kind);
// Files open and allocations held right now.
int hook_open_files();
int hook_live_allocations();
// The largest allocation asked for since the last hook_reset.
uint64_t hook_largest_allocation();

// Console capture: while set, output to the standard streams is appended to
// these strings instead (all gets both, in program order).
struct os_capture {
    std::string out;
    std::string err;
    std::string all;
};
void hook_capture(os_capture* capture);

// A record of every change made to a file, for replaying crashes.
struct os_change {
    enum kind_t { WRITE, SET_SIZE, SYNC } kind;
    std::string name;
    int64_t position;  // WRITE: where; SET_SIZE: the new length
    std::string data;  // WRITE: the bytes written
};
void hook_journal(std::vector<os_change>* journal);

// Clears every fault, the break, the counters and the allocation limit.
// Capture and journal stay as set.
void hook_reset();
