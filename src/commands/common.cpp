#include "commands/commands.h"
#include "os/os.h"

bool parse_image_type(const char* word, bool* fixed) {
    if (Stricmp(word, "fixed") == 0) {
        *fixed = true;
        return true;
    }
    if (Stricmp(word, "dynamic") == 0) {
        *fixed = false;
        return true;
    }
    return false;
}
