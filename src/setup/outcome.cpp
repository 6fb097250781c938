// Exit codes and the texts that go with them.
#include "setup/outcome.h"

void printFinalText(const Catalogue& messages, ExitCode exitCode) {
    switch (exitCode) {
        case ExitComplete: messages.print(MsgInstallationComplete); break;
        case ExitRestartNeeded:
            messages.print(MsgInstallationComplete);
            messages.print(MsgRebootForDriver);
            break;
        default: messages.print(MsgInstallationFailed); break;
    }
}

const char* outcomeEventText(ExitCode exitCode) {
    switch (exitCode) {
        case ExitComplete: return "Installation complete";
        case ExitRestartNeeded: return "Installation complete. Reboot the machine for the device driver to start.";
        default: return "Installation failed";
    }
}

// The legacy program's codes 1, 2 and 8 mean what the installer's own do;
// whatever else it ends with counts as complete.
ExitCode exitCodeOfLegacyProgram(DWORD programExitCode) {
    switch (programExitCode) {
        case ExitRestartNeeded:
        case ExitFailed:
        case ExitLegacyFailed: return static_cast<ExitCode>(programExitCode);
        default: return ExitComplete;
    }
}
