// Placeholder setup program of the server-restart feature: "-S" installs,
// "-Q" and "-H" make it quiet. Its exit status tells its caller the
// outcome: 1 restart needed, 2 or 8 failed, anything else success.
#include <cstdio>
#include <cstring>

#include "program_common.h"

int main(int argc, char** argv) {
    programStart(argv[0]);
    bool setup = false, quiet = false, hidden = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-S") == 0) setup = true;
        else if (std::strcmp(argv[i], "-Q") == 0) quiet = true;
        else if (std::strcmp(argv[i], "-H") == 0) hidden = true;
    }
    int code = chosenExitCode();
    std::printf("%s: %s%s%s, exit status %d\n", programFileName(), setup ? "setup" : "nothing to do",
                quiet ? ", quiet" : "", hidden ? ", hidden" : "", code);
    return code;
}
