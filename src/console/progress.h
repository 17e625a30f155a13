// The one-line percentage display of long commands, and the break poll.
#pragma once

#include <cstdint>

// Percentage last shown while a line is open; 0xFFFFFFFF when none is.
extern uint32_t last_percent;

void display_progress(const char* label, uint32_t current, uint32_t total);
void stop_progress();

// Polls for a break (Ctrl-C). When one arrived, closes the progress line,
// reports it and returns true: the caller's command ends as failed.
bool break_requested();
