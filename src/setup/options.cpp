#include "setup/options.h"

#include <cstdio>
#include <cstring>

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

// Applies a force code; returns 0 when the code is not a valid one.
int applyForceCode(char code, DetectionStateRecord& detection) {
    for (const ForceCode& f : ForceCodes) {
        if (f.code != code) continue;
        detection.forceCode = code;
        if (f.entry != NoEntry) markPresent(detection, static_cast<DeviceEntry>(f.entry));
        std::printf("%s", f.notice);
        std::fflush(stdout);
        return 1;
    }
    std::printf("Invalid force code!\n");
    std::fflush(stdout);
    return 0;
}

SERVICE_TABLE_ENTRYA DispatchTable[] = {
    {const_cast<LPSTR>(SETUP_SERVICE_NAME), serviceMain},
    {nullptr, nullptr},
};

}  // namespace

int parseOptions(int argc, char** argv, RunState& run) {
    for (int i = 1; i < argc; ++i) {
        char* arg = argv[i];
        if (!arg) continue;
        _strupr(arg);
        if (isOption(arg, "/X", "-X")) {
            run.quietMode = 1;
            run.unattendedMode = 1;
        }
        if (isOption(arg, "/Q", "-Q")) run.quietMode = 1;
        if (isOption(arg, "/R", "-R")) run.resumeMode = 1;
        if (isOption(arg, "/H", "-H")) {
            run.quietMode = 1;
            run.delegateMode = 1;
        }
        if (arg[0] == '-' && arg[1] == 'F' && !applyForceCode(arg[2], run.detection)) return 0;
    }
    return 1;
}

int setupServiceExists(RunState& run) {
    DWORD managerError = ERROR_SUCCESS;
    int registered = serviceIsRegistered(SETUP_SERVICE_NAME, &managerError);
    run.managerAccessDenied = managerError == ERROR_ACCESS_DENIED;
    return registered;
}

void deriveSourceDir(const char* programPath, char (&sourceDir)[SourceDirSize]) {
    // _splitpath cuts each part to its buffer's size, so a program path of
    // any length leaves the buffers terminated.
    char directory[256];
    char lowered[256];
    _splitpath(programPath ? programPath : "", sourceDir, directory, nullptr, nullptr);
    std::snprintf(lowered, sizeof lowered, "%s", directory);
    _strlwr(lowered);

    if (sourceDir[0] == '\0' && directory[0] == '\0') {
        std::snprintf(sourceDir, sizeof sourceDir, "..");
        return;
    }
    if (directory[0] == '\\') {
        static const char MediaDirectory[] = "\\win2000\\";
        if (std::strstr(lowered, MediaDirectory)) {
            size_t length = std::strlen(directory);
            directory[length - (sizeof MediaDirectory - 1)] = '\0';
            size_t used = std::strlen(sourceDir);
            std::snprintf(sourceDir + used, sizeof sourceDir - used, "%s", directory);
        }
        if (sourceDir[0] == '\0') std::snprintf(sourceDir, sizeof sourceDir, "%c:", _getdrive() + 96);
        return;
    }
    if (std::strstr(lowered, "win2000\\")) std::snprintf(sourceDir, sizeof sourceDir, ".");
}

int setupMain(int argc, char** argv) {
    RunState run = {};
    if (!parseOptions(argc, argv, run)) return 0;

    if (setupServiceExists(run)) {
        if (StartServiceCtrlDispatcherA(DispatchTable)) return 0;
        // Not started as the service (from a console, say): the second phase
        // is still pending, so the machine must restart before the
        // installation is complete.
        reportServiceError("StartServiceCtrlDispatcher failed.");
        return 1;
    }
    deriveSourceDir(argc > 0 ? argv[0] : nullptr, run.directories.source);
    return runFirstPhase(run);
}
