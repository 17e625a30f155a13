#include "cli/cli.h"
#include "os/os.h"

int main(int argc, char** argv) {
    StartUp();
    int rc = imgsmith_main(argc, argv);
    Flush(StdOut);
    return rc;
}
