#include "cli/cli.h"

#include "commands/commands.h"
#include "os/os.h"

// The version tag, for tools that look for one in the binary. Kept by the
// compiler and the linker although nothing reads it.
[[gnu::used, gnu::retain]] extern const char verstag[] = "\0$VER: imgsmith 1.2 (25.5.2011)";

namespace {

constexpr int VERSION_MAJOR = 1;
constexpr int VERSION_MINOR = 2;

struct command {
    const char* word;
    int (*handler)(int argc, char** argv);
};

constexpr command COMMANDS[] = {
    {"create", cmd_create},
    {"info", cmd_info},
    {"compact", cmd_compact},
    {"convertfromraw", cmd_convertfromraw},
    {"converttoraw", cmd_converttoraw},
};

}  // namespace

void print_usage() {
    Printf("Usage: imgsmith <command> <.vdi file> [options]\n");
    Printf("Commands:\n");
    Printf("  create          Create a new .vdi file\n");
    Printf("  info            List information about .vdi file\n");
    Printf("  compact         Compact a dynamic .vdi file\n");
    Printf("  convertfromraw  Convert raw (.hdf) to .vdi file\n");
    Printf("  converttoraw    Convert .vdi to raw (.hdf) file\n");
    Printf("Command syntax:\n");
    Printf("  imgsmith create <.vdi file> [fixed|dynamic] <size>\n");
    Printf("  imgsmith info <.vdi file>\n");
    Printf("  imgsmith compact <.vdi file>\n");
    Printf("  imgsmith convertfromraw <.vdi file> <raw file> [fixed|dynamic]\n");
    Printf("  imgsmith converttoraw <.vdi file> <raw file>\n");
}

int imgsmith_main(int argc, char** argv) {
    StdOut = Output();
    StdErr = ErrorOutput();
    if (!StdErr) StdErr = StdOut;

    Printf("imgsmith v%ld.%ld - VDI disk image tool\n", VERSION_MAJOR, VERSION_MINOR);

    if (argc < 2) {
        print_usage();
        return RETURN_OK;
    }
    if (argc == 2) {
        print_usage();
        return argv[1][0] == '?' ? RETURN_OK : RETURN_FAIL;
    }
    for (const command& c : COMMANDS) {
        if (Stricmp(argv[1], c.word) == 0) return c.handler(argc, argv);
    }
    print_usage();
    return RETURN_FAIL;
}
