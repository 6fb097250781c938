// Placeholder processor service program: "-install" registers its service,
// "-remove" deletes it.
#include <cstdio>
#include <cstring>

#include "program_common.h"

int main(int argc, char** argv) {
    programStart(argv[0]);
    const char* action = argc > 1 ? argv[1] : "";
    if (std::strcmp(action, "-install") == 0)
        installService("qrvmpsvc", "QRV processor service", "qrvmpsvc.exe");
    else if (std::strcmp(action, "-remove") == 0)
        removeService("qrvmpsvc");
    else
        std::printf("%s: nothing to do for \"%s\"\n", programFileName(), action);
    return chosenExitCode();
}
