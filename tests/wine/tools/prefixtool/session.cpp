// The Wine session: a process that keeps it alive, and what the installer
// will see of the machine.
#include "prefixtool.h"

#include <cstdio>
#include <cstdlib>

// hold <seconds>: keeps the Wine session alive. The session's end runs no
// pending work, but the next session's start does (RunOnce, auto-start
// services), and Wine keeps a key's security only for the session.
int hold(const Args& a) {
    if (a.size() != 1) return fail("usage");
    std::fflush(stdout);
    Sleep(1000 * std::strtoul(a[0].c_str(), nullptr, 10));
    return 0;
}

// info: what the installer will see of the machine.
int info(const Args&) {
    char dir[MAX_PATH];
    GetSystemDirectoryA(dir, sizeof dir);
    std::printf("systemDirectory=%s\nlangId=0x%04X\n", dir, static_cast<unsigned>(GetSystemDefaultLangID()));
    return 0;
}
