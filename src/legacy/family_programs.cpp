// Starting the family's programs that lie in the system directory.
#include "legacy/family_programs.h"

#include <cstdio>

#include "platform/win_process.h"
#include "setup/run_state.h"

int runSystemProgram(const char* commandTail) {
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    startup.lpReserved = nullptr;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.cbReserved2 = 0;
    startup.lpReserved2 = nullptr;

    char commandLine[520];
    int n = std::snprintf(commandLine, sizeof commandLine, "%s%s", systemDir, commandTail);
    if (n < 0 || static_cast<size_t>(n) >= sizeof commandLine) {
        // A cut command line would start some other program, or the right
        // one with the wrong arguments: nothing is started.
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }

    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, nullptr, &startup,
                        &process))
        return 0;

    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode;
    GetExitCodeProcess(process.hProcess, &exitCode);  // read, not examined
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return 1;
}
