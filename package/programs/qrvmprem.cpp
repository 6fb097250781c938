// Placeholder remote-support program: reports how it was started.
#include <cstdio>

#include "program_common.h"

int main(int argc, char** argv) {
    programStart(argv[0]);
    std::printf("%s: started with \"%s\"\n", programFileName(), argc > 1 ? argv[1] : "");
    return chosenExitCode();
}
