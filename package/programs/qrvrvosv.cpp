// Placeholder of the earlier restart-feature service program: "-remove"
// deletes its service when it is registered.
#include <cstdio>
#include <cstring>

#include "program_common.h"

int main(int argc, char** argv) {
    programStart(argv[0]);
    const char* action = argc > 1 ? argv[1] : "";
    if (std::strcmp(action, "-remove") == 0)
        removeService("qrvrvosv");
    else
        std::printf("%s: nothing to do for \"%s\"\n", programFileName(), action);
    return chosenExitCode();
}
