// The outcome of a run as the caller sees it: the exit code, the final text
// on the console and, for the service phase, the event log's text. Every
// phase ends through these, so that a code and its texts never part.
#pragma once

#include "messages/messages.h"
#include "platform/win_base.h"

// The exit codes of the installer. A run that leaves to the legacy setup
// program takes that program's code (see exitCodeOfLegacyProgram).
enum ExitCode {
    ExitComplete = 0,        // installed; nothing more to do
    ExitRestartNeeded = 1,   // installed, or waiting for the second phase: restart the machine
    ExitFailed = 2,          // not installed
    ExitLegacyFailed = 8     // the legacy setup program failed with its own code 8, passed on
};

// Prints the final text of the exit code from the catalogue: "Installation
// complete", with the reboot message for a restart, or "Installation
// failed".
void printFinalText(const Catalogue& messages, ExitCode exitCode);

// The English text of the service phase's outcome entry in the event log.
const char* outcomeEventText(ExitCode exitCode);

// The installer's exit code for the legacy setup program's own.
ExitCode exitCodeOfLegacyProgram(DWORD programExitCode);
