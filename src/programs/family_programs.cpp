// Starting the family's programs that lie in the system directory.
#include "programs/family_programs.h"

#include "base/path_buffer.h"
#include "platform/owned.h"
#include "platform/win_process.h"

void inheritStartupInfo(STARTUPINFOA* startup, DWORD flags, WORD showWindow) {
    GetStartupInfoA(startup);
    startup->lpReserved = nullptr;
    startup->dwFlags = flags;
    startup->wShowWindow = showWindow;
    startup->cbReserved2 = 0;
    startup->lpReserved2 = nullptr;
}

Result runSystemProgram(const char* systemDir, const char* commandTail) {
    STARTUPINFOA startup;
    inheritStartupInfo(&startup, STARTF_USESHOWWINDOW, SW_HIDE);

    // A cut command line would start some other program, or the right one
    // with the wrong arguments: nothing is started.
    char commandLine[PathBufferSize];
    if (!joinPath(commandLine, systemDir, commandTail))
        return Result::failure("CreateProcessA", ERROR_FILENAME_EXCED_RANGE, commandTail);

    PROCESS_INFORMATION started;
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, nullptr, &startup,
                        &started))
        return Result::failure("CreateProcessA", GetLastError(), commandLine);
    ProcessHandles handles(started);

    WaitForSingleObject(handles.process.get(), INFINITE);
    DWORD exitCode;
    GetExitCodeProcess(handles.process.get(), &exitCode);  // read, not examined
    return Result::success();
}
