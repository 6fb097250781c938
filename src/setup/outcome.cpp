// Exit codes and the texts that go with them.
#include "setup/outcome.h"

#include "messages/messages.h"

void printFinalText(int exitCode) {
    switch (exitCode) {
        case ExitComplete: printMessage(MsgInstallationComplete); break;
        case ExitRestartNeeded:
            printMessage(MsgInstallationComplete);
            printMessage(MsgRebootForDriver);
            break;
        default: printMessage(MsgInstallationFailed); break;
    }
}

const char* outcomeEventText(int exitCode) {
    switch (exitCode) {
        case ExitComplete: return "Installation complete";
        case ExitRestartNeeded: return "Installation complete. Reboot the machine for the device driver to start.";
        default: return "Installation failed";
    }
}

int exitCodeOfLegacyProgram(DWORD programExitCode) {
    switch (programExitCode) {
        case 1: return ExitRestartNeeded;
        case 2: return ExitFailed;
        case 8: return ExitLegacyFailed;
        default: return ExitComplete;
    }
}
