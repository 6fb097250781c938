// The interactive first phase: messages, system directory, staging, then one
// of three branches by machine type, and one end step with the exit code.
#include "setup/first_phase.h"

#include <cstdio>

#include "devices/device_table.h"
#include "devices/driver_ops.h"
#include "devices/install_plan.h"
#include "legacy/earlier_software.h"
#include "legacy/family_programs.h"
#include "legacy/second_phase.h"
#include "legacy/service_keys.h"
#include "messages/messages.h"
#include "platform/owned.h"
#include "platform/path_buffer.h"
#include "platform/win_files.h"
#include "platform/win_process.h"
#include "setup/options.h"
#include "setup/run_state.h"
#include "staging/staging_tree.h"

namespace {

// Final text of the end step.
enum FinalText { WithFinalText, WithoutFinalText };

// 1 while messageTable holds a catalogue loaded from a language file.
int catalogueFromFile;

void loadMessages() {
    catalogueFromFile = 1;
    int language = selectLanguage();
    if (loadCatalogue(&messageTable, MESSAGE_COUNT, language) == -1) {
        messageTable = BuiltinMessages;
        catalogueFromFile = 0;
    }
}

void releaseLoadedCatalogue() {
    if (!catalogueFromFile) return;
    releaseCatalogue(&messageTable);
    catalogueFromFile = 0;
}

// The end step: the final text for the exit code, the key wait unless
// quiet, the release of a loaded catalogue.
int finishRun(int exitCode, FinalText finalText) {
    if (finalText == WithFinalText) {
        switch (exitCode) {
            case 0: printMessage(MsgInstallationComplete); break;
            case 1:
                printMessage(MsgInstallationComplete);
                printMessage(MsgRebootForDriver);
                break;
            default: printMessage(MsgInstallationFailed); break;
        }
    }
    if (!quietMode) {
        printMessage(MsgPressAnyKey);
        _getch();
    }
    releaseLoadedCatalogue();
    return exitCode;
}

// The paths that end without the end step still give back a loaded
// catalogue, so that no heap block outlives the run.
int returnAtOnce(int exitCode) {
    releaseLoadedCatalogue();
    return exitCode;
}

// Returns 1 when the second phase is scheduled, 0 when it could not be.
int scheduleSecondPhase() {
    if (unattendedMode) return createSecondPhaseService();
    return setSecondPhaseRunOnce() == 0;
}

// Once old drivers are gone, only the second phase can install the new ones:
// the run ends with the reboot message when it is scheduled, and as a
// failed installation when it is not (nothing would ever install them).
int finishAfterOldDriversRemoved() {
    if (!scheduleSecondPhase()) return finishRun(2, WithFinalText);
    printMessage(MsgRemovedOldDrivers);
    return finishRun(1, WithoutFinalText);
}

// The old processor driver file is deleted and the new drivers wait for the
// second phase. Returns the exit code of the run.
int removeOldProcessorDriver() {
    printMessage(MsgRemovingOldDrivers);
    char driverPath[PathBufferSize];
    std::snprintf(driverPath, sizeof driverPath, "%.259s\\drivers\\qrvmpw.sys", systemDir);
    // A file that is not there is as good as deleted: a machine that never
    // had the driver file would otherwise never be installed without /R.
    // A deletion that fails otherwise ends the run as a failed installation,
    // with its final text: nothing was scheduled.
    if (!DeleteFileA(driverPath) && GetLastError() != ERROR_FILE_NOT_FOUND) return finishRun(2, WithFinalText);
    return finishAfterOldDriversRemoved();
}

// The processor service program removes its service; the service programs
// it deleted are copied back from the staging tree.
void runProcessorServiceRemoval() {
    if (runSystemProgram("\\qrvmpsvc.exe -remove")) {
        refreshServicePrograms();
        return;
    }
    printMessage(MsgFileSystemError, static_cast<int>(GetLastError()));
    installFailed = 1;
}

// The child devices of the old driver generation are removed and the new
// drivers wait for the second phase. Returns the exit code of the run.
int removeOldChildDevices() {
    printMessage(MsgRemovingOldDrivers);
    removeDeviceById(DeviceTable[ChildFunction2Entry].hardwareId);
    removeDeviceById(DeviceTable[ChildFunction4Entry].hardwareId);
    removeDeviceById(DeviceTable[ChildFunction3Entry].hardwareId);
    removeDeviceById(DeviceTable[NewerAdapterEntry].hardwareId);
    if (DetectionState.present[OnboardRvoEntry]) removeDeviceById(DeviceTable[OnboardRvoEntry].hardwareId);
    removeRemoteSupportServiceKeys();
    return finishAfterOldDriversRemoved();
}

// Maps the legacy setup program's exit code onto the installer's own.
int legacyResult(DWORD programExitCode) {
    switch (programExitCode) {
        case 1: return 1;
        case 2: return 2;
        case 8: return 8;
        default: return 0;
    }
}

// Runs the media's legacy setup program in the installer's console and
// waits for it. Returns the exit code of the run.
int runLegacySetupProgram() {
    char commandLine[PathBufferSize];
    std::snprintf(commandLine, sizeof commandLine, "%s\\nt\\%s -S%s%s", sourceDir, "RVOSETUP.EXE",
                  quietMode ? " -Q" : "", delegateMode ? " -H" : "");

    STARTUPINFOA startup;
    inheritStartupInfo(&startup, 0, 0);

    PROCESS_INFORMATION started;
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        printMessage(MsgFileSystemError, static_cast<int>(GetLastError()));
        return 2;
    }
    ProcessHandles handles(started);
    // A program whose end or result cannot be learnt has not been seen to
    // succeed: that counts as a failed installation.
    DWORD programExitCode = 0;
    if (WaitForSingleObject(handles.process.get(), INFINITE) == WAIT_FAILED ||
        !GetExitCodeProcess(handles.process.get(), &programExitCode)) {
        printMessage(MsgFileSystemError, static_cast<int>(GetLastError()));
        return 2;
    }
    return legacyResult(programExitCode);
}

// The branch of a machine with known Plug and Play devices.
int installKnownDevices() {
    int keysRemoved = removeRestartFeatureServiceKeys();

    // The earlier processor service goes before either road that waits for
    // the second phase: that phase's install run registers the media's, but
    // leaves a registration that it finds in place as it is.
    if (DetectionState.present[NewerAdapterEntry] && !resumeMode && isProcessorServiceInstalled() == 1)
        runProcessorServiceRemoval();

    if (DetectionState.present[OlderAdapterEntry] && DetectionState.present[OnboardBlennaEntry] && !resumeMode &&
        lacksRecognizedDriverVersion() == 1)
        return removeOldProcessorDriver();

    // The run that resumes after the restart finds the old child functions
    // enumerated again; removing them once more would schedule yet another
    // restart, for ever. It binds them instead, as the service phase does.
    if (!resumeMode &&
        (DetectionState.present[ChildFunction2Entry] || DetectionState.present[ChildFunction4Entry]))
        return removeOldChildDevices();

    bindPresentDevices();
    if (installFailed) return finishRun(2, WithFinalText);
    if (restartRequired || keysRemoved) return finishRun(1, WithFinalText);
    return finishRun(0, WithFinalText);
}

}  // namespace

int runFirstPhase() {
    installFailed = 0;
    restartRequired = 0;
    restartIndication = 0;

    loadMessages();
    printMessage(MsgBanner);

    // Without an administrator's rights the service control manager, the
    // system directory, the machine's registry and its devices all refuse
    // the work: the run says so and changes nothing.
    if (managerAccessDenied) {
        printMessage(MsgAdministratorRequired);
        return finishRun(2, WithFinalText);
    }

    UINT length = GetSystemDirectoryA(systemDir, sizeof systemDir);
    if (length == 0 || length >= MAX_PATH) return finishRun(2, WithFinalText);
    std::snprintf(stagingDir, sizeof stagingDir, "%.259s\\drivers\\korpa", systemDir);

    if (_stricmp(sourceDir, stagingDir) != 0) stageMediaFiles();

    if (isUsbManagementDevicePresent() == 1 && !delegateMode)
        return finishRun(removeEarlierSoftware() ? 1 : 0, WithFinalText);

    if (!detectKnownDevices()) {
        // A scan that the Setup API broke off found nothing to go by: the
        // machine's devices are unknown, and the legacy program's road (for
        // machines without known devices) would claim success over them.
        DWORD scanError = GetLastError();
        if (scanError != ERROR_SUCCESS && scanError != ERROR_NO_MORE_ITEMS) {
            printMessage(MsgFileSystemError, static_cast<int>(scanError));
            return finishRun(2, WithFinalText);
        }
        return finishRun(runLegacySetupProgram(), WithFinalText);
    }
    if (delegateMode) return returnAtOnce(0);

    return installKnownDevices();
}
