// The Wine session: a process that keeps it alive, one that holds a file in
// use while the session lasts, and what the installer will see of the
// machine.
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

// file-hold <path> <seconds>: holds a file in use, as an earlier driver or a
// program that runs holds its file: open for reading, sharing reading alone,
// so that nobody may write, replace or delete it until this process ends
// (at the session's end at the latest). Prints "held <path>" once it holds
// it.
int fileHold(const Args& a) {
    if (a.size() != 2) return fail("usage");
    FileHandle file(CreateFileA(a[0].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return fail("CreateFileA");
    std::printf("held %s\n", a[0].c_str());
    std::fflush(stdout);
    Sleep(1000 * std::strtoul(a[1].c_str(), nullptr, 10));
    return 0;
}

// info: what the installer will see of the machine.
int info(const Args&) {
    char dir[MAX_PATH];
    GetSystemDirectoryA(dir, sizeof dir);
    std::printf("systemDirectory=%s\nlangId=0x%04X\n", dir, static_cast<unsigned>(GetSystemDefaultLangID()));
    return 0;
}
