// What a program asks of the machine it runs on: the system directory, the
// default language, the current drive, and a key pressed on the console.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/win_files.h"
#include "sim/core/calls.h"
#include "sim/core/current_machine.h"

using namespace sim;

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
    Call c("GetSystemDirectoryA", {arg(static_cast<const void*>(buffer)), arg(size)});
    if (c.injected()) return 0;
    const std::string& dir = machine().systemDirectory;
    if (dir.size() + 1 > size) return static_cast<UINT>(dir.size() + 1);
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    return static_cast<UINT>(dir.size());
}

LANGID WINAPI GetSystemDefaultLangID(void) {
    Call c("GetSystemDefaultLangID", {});
    return machine().defaultLangId;
}

int _getdrive(void) {
    Call c("_getdrive", {});
    return machine().currentDrive;
}

int _getch(void) {
    Call c("_getch", {});
    std::fflush(stdout);
    unsigned char ch = 0;
    if (::isatty(0)) {
        termios old{}, raw{};
        ::tcgetattr(0, &old);
        raw = old;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        ::tcsetattr(0, TCSANOW, &raw);
        ssize_t n = ::read(0, &ch, 1);
        ::tcsetattr(0, TCSANOW, &old);
        return n == 1 ? ch : -1;
    }
    return ::read(0, &ch, 1) == 1 ? ch : -1;
}
