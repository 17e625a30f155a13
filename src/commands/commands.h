// One handler per command. Each takes the whole command line, owns every
// file and buffer it opens, and returns 0 (RETURN_OK) or 20 (RETURN_FAIL).
#pragma once

int cmd_create(int argc, char** argv);
int cmd_info(int argc, char** argv);
int cmd_compact(int argc, char** argv);
int cmd_convertfromraw(int argc, char** argv);
int cmd_converttoraw(int argc, char** argv);

// Parses a type word: "fixed" or "dynamic", any letter case. Sets *fixed
// and returns true, or returns false for any other word.
bool parse_image_type(const char* word, bool* fixed);
