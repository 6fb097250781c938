// The command line, the run mode and the media root.
#include "setup/options.h"

#include <cstdio>
#include <cstring>

#include "base/run_directories.h"
#include "devices/device_table.h"
#include "earlier/earlier_software.h"
#include "platform/win_files.h"
#include "platform/win_services.h"
#include "setup/first_phase.h"
#include "setup/run_state.h"
#include "setup/service_phase.h"

namespace {

bool isOption(const char* arg, const char* slashForm, const char* dashForm) {
    return std::strcmp(arg, slashForm) == 0 || std::strcmp(arg, dashForm) == 0;
}

// No entry: a force code that marks no table entry present.
const int NoEntry = -1;

struct ForceCode {
    char code;
    const char* notice;
    int entry;  // the table entry the code marks present, with what it implies
};

const ForceCode ForceCodes[] = {
    {'A', "Skipping hardware detection - forcing RVO.\n", OnboardRvoEntry},
    {'P', "Skipping hardware detection - forcing Ferrix.\n", OnboardFerrixEntry},
    {'J', "Skipping hardware detection - forcing Quillo.\n", OnboardQuilloEntry},
    {'R', "Skipping hardware detection - forcing Blenna.\n", OnboardBlennaEntry},
    {'E', "Skipping hardware detection - forcing Tovik.\n", NewerAdapterEntry},
    {'U', "Skipping hardware detection - forcing Dorrin.\n", NoEntry},
    {'W', "Skipping hardware detection - forcing Kelvane.\n", OlderAdapterEntry},
};

// Applies a force code; false when the code is not a valid one.
bool applyForceCode(char code, DetectionStateRecord& detection) {
    for (const ForceCode& f : ForceCodes) {
        if (f.code != code) continue;
        detection.forceCode = code;
        if (f.entry != NoEntry) markPresent(detection, static_cast<DeviceEntry>(f.entry));
        std::printf("%s", f.notice);
        std::fflush(stdout);
        return true;
    }
    std::printf("Invalid force code!\n");
    std::fflush(stdout);
    return false;
}

// _getdrive() counts the drives from 1 for A:; the letter is shown in lower
// case.
const int LowerCaseDriveBase = 'a' - 1;

// Whether the lower-cased directory ends in the program folder: the program
// then lies in the media's "\win2000\" and the media root is above it.
bool endsInProgramFolder(const char* lowered) {
    size_t length = std::strlen(lowered);
    size_t folder = sizeof ProgramFolder - 1;
    return length >= folder && std::strcmp(lowered + length - folder, ProgramFolder) == 0;
}

SERVICE_TABLE_ENTRYA DispatchTable[] = {
    {const_cast<LPSTR>(SETUP_SERVICE_NAME), serviceMain},
    {nullptr, nullptr},
};

}  // namespace

bool parseOptions(int argc, char** argv, RunState& run) {
    for (int i = 1; i < argc; ++i) {
        char* arg = argv[i];
        if (!arg) continue;
        _strupr(arg);
        if (isOption(arg, "/X", "-X")) {
            run.quietMode = true;
            run.unattendedMode = true;
        }
        if (isOption(arg, "/Q", "-Q")) run.quietMode = true;
        if (isOption(arg, "/R", "-R")) run.resumeMode = true;
        if (isOption(arg, "/H", "-H")) {
            run.quietMode = true;
            run.delegateMode = true;
        }
        if (arg[0] == '-' && arg[1] == 'F' && !applyForceCode(arg[2], run.detection)) return false;
    }
    return true;
}

bool setupServiceExists(RunState& run) {
    ServiceProbe probe = probeService(SETUP_SERVICE_NAME);
    run.managerAccessDenied = probe == ServiceManagerDenied;
    return probe == ServiceRegistered;
}

void deriveSourceDir(const char* programPath, char (&sourceDir)[SourceDirSize]) {
    // _splitpath cuts each part to its buffer's size, so a program path of
    // any length leaves the buffers terminated.
    char directory[_MAX_DIR];
    char lowered[_MAX_DIR];
    _splitpath(programPath ? programPath : "", sourceDir, directory, nullptr, nullptr);
    std::snprintf(lowered, sizeof lowered, "%s", directory);
    _strlwr(lowered);

    if (sourceDir[0] == '\0' && directory[0] == '\0') {
        std::snprintf(sourceDir, sizeof sourceDir, "..");
        return;
    }
    // The text is cut off the end of the directory, not where it is found:
    // for a program in a "\win2000\" folder they are the same, whatever
    // other "\win2000\" the path holds above it.
    size_t folder = sizeof ProgramFolder - 1;
    if (directory[0] == '\\') {
        if (std::strstr(lowered, ProgramFolder)) {
            directory[std::strlen(directory) - folder] = '\0';
            size_t used = std::strlen(sourceDir);
            std::snprintf(sourceDir + used, sizeof sourceDir - used, "%s", directory);
        }
        if (sourceDir[0] == '\0') std::snprintf(sourceDir, sizeof sourceDir, "%c:", _getdrive() + LowerCaseDriveBase);
        return;
    }
    // A relative directory: the media root is the folder above the program's
    // "win2000\" folder, and the current directory when nothing is above it.
    if (endsInProgramFolder(lowered)) {
        directory[std::strlen(directory) - folder] = '\0';
        size_t used = std::strlen(sourceDir);
        std::snprintf(sourceDir + used, sizeof sourceDir - used, "%s", directory);
    } else if (std::strstr(lowered, ProgramFolder + 1)) {
        std::snprintf(sourceDir, sizeof sourceDir, ".");
    }
}

ExitCode setupMain(int argc, char** argv) {
    RunState run = {};
    // After an invalid force code nothing is done, and there is nothing to
    // report but its notice.
    if (!parseOptions(argc, argv, run)) return ExitComplete;

    if (setupServiceExists(run)) {
        if (StartServiceCtrlDispatcherA(DispatchTable)) return ExitComplete;
        // Not started as the service (from a console, say): the second phase
        // has not run and is still registered, so the installation is not
        // complete until the machine restarts.
        reportServiceError("StartServiceCtrlDispatcher failed.");
        return ExitRestartNeeded;
    }
    deriveSourceDir(argc > 0 ? argv[0] : nullptr, run.directories.source);
    return runFirstPhase(run);
}
