// One handler per command. Each takes the whole command line, owns every
// file and buffer it opens, and returns 0 (RETURN_OK) or 20 (RETURN_FAIL).
#pragma once

int cmd_create(int argc, char** argv);
int cmd_info(int argc, char** argv);
int cmd_compact(int argc, char** argv);
int cmd_convertfromraw(int argc, char** argv);
int cmd_converttoraw(int argc, char** argv);

struct vdi_handle;

// Gives a new image, whose header init_new_header has filled, its length
// (the whole data area for a fixed image), then writes the header and a
// block map: entry i = i for fixed, all BLOCK_FREE for dynamic. Nonzero on
// success; failures are reported here.
int write_new_image(vdi_handle* handle, bool fixed);

// Refuses a conversion whose output is its input (any path to the same
// file): opening the output would empty it. True when refused, reported
// with the output's name.
bool same_file_refused(const char* input, const char* output);

// Parses a type word: "fixed" or "dynamic", any letter case. Sets *fixed
// and returns true, or returns false for any other word.
bool parse_image_type(const char* word, bool* fixed);
