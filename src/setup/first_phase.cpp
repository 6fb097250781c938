// The interactive first phase: messages, system directory, staging, then one
// of three branches by machine type, and one end step with the exit code.
#include "setup/first_phase.h"

#include <cstdio>

#include "base/path_buffer.h"
#include "devices/device_table.h"
#include "devices/driver_ops.h"
#include "devices/install_plan.h"
#include "earlier/earlier_software.h"
#include "earlier/service_keys.h"
#include "messages/messages.h"
#include "messages/trace.h"
#include "platform/owned.h"
#include "platform/win_files.h"
#include "platform/win_process.h"
#include "programs/family_programs.h"
#include "setup/outcome.h"
#include "setup/second_phase.h"
#include "staging/staging_tree.h"

namespace {

// Final text of the end step.
enum FinalText { WithFinalText, WithoutFinalText };

// One first phase over the run's state.
class FirstPhase {
public:
    explicit FirstPhase(RunState& run) : run_(run) {}
    int run();

private:
    void loadMessages();
    void releaseLoadedCatalogue();
    int finishRun(int exitCode, FinalText finalText);
    int returnAtOnce(int exitCode);
    int scheduleSecondPhase();
    int finishAfterOldDriversRemoved();
    int removeOldProcessorDriver();
    int runProcessorServiceRemoval();
    int removeOldChildDevices();
    int runLegacySetupProgram();
    int installKnownDevices();

    RunState& run_;
    const RunDirectories& directories_ = run_.directories;
    const int* present_ = run_.detection.present;
    // 1 while messageTable holds a catalogue loaded from a language file.
    int catalogueFromFile = 0;
};

void FirstPhase::loadMessages() {
    catalogueFromFile = 1;
    int language = selectLanguage();
    if (loadCatalogue(directories_.source, &messageTable, MESSAGE_COUNT, language) == -1) {
        messageTable = BuiltinMessages;
        catalogueFromFile = 0;
    }
}

void FirstPhase::releaseLoadedCatalogue() {
    if (!catalogueFromFile) return;
    releaseCatalogue(&messageTable);
    catalogueFromFile = 0;
}

// The end step: the final text for the exit code, the key wait unless
// quiet, the release of a loaded catalogue.
int FirstPhase::finishRun(int exitCode, FinalText finalText) {
    if (finalText == WithFinalText) printFinalText(exitCode);
    if (!run_.quietMode) {
        printMessage(MsgPressAnyKey);
        _getch();
    }
    releaseLoadedCatalogue();
    return exitCode;
}

// The paths that end without the end step still give back a loaded
// catalogue, so that no heap block outlives the run.
int FirstPhase::returnAtOnce(int exitCode) {
    releaseLoadedCatalogue();
    return exitCode;
}

// Returns 1 when the second phase is scheduled, 0 when it could not be.
int FirstPhase::scheduleSecondPhase() {
    if (run_.unattendedMode) return traceFailure(createSecondPhaseService()).ok();
    Result written = setSecondPhaseRunOnce();
    if (written.ok()) return 1;
    traceFailure(written);
    printMessage(MsgRegistryWriteError);
    return 0;
}

// Once old drivers are gone, only the second phase can install the new ones:
// the run ends with the reboot message when it is scheduled, and as a
// failed installation when it is not (nothing would ever install them).
int FirstPhase::finishAfterOldDriversRemoved() {
    if (!scheduleSecondPhase()) return finishRun(ExitFailed, WithFinalText);
    printMessage(MsgRemovedOldDrivers);
    return finishRun(ExitRestartNeeded, WithoutFinalText);
}

// The old processor driver file is deleted and the new drivers wait for the
// second phase. Returns the exit code of the run.
int FirstPhase::removeOldProcessorDriver() {
    printMessage(MsgRemovingOldDrivers);
    char driverPath[PathBufferSize];
    std::snprintf(driverPath, sizeof driverPath, "%.259s\\drivers\\qrvmpw.sys", directories_.system);
    // A file that is not there is as good as deleted: a machine that never
    // had the driver file would otherwise never be installed without /R.
    // A deletion that fails otherwise ends the run as a failed installation,
    // with its final text: nothing was scheduled.
    if (!DeleteFileA(driverPath)) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            traceFailure(Result::failure("DeleteFileA", error, driverPath));
            return finishRun(ExitFailed, WithFinalText);
        }
    }
    return finishAfterOldDriversRemoved();
}

// The processor service program removes its service; the service programs
// it deleted are copied back from the staging tree. Returns 0 when the
// program could not be started, which fails the installation.
int FirstPhase::runProcessorServiceRemoval() {
    Result removal = runSystemProgram(directories_.system, "\\qrvmpsvc.exe -remove");
    if (removal.ok()) {
        refreshServicePrograms(directories_, run_.quietMode);
        return 1;
    }
    printFileSystemError(removal);
    return 0;
}

// The child devices of the old driver generation are removed and the new
// drivers wait for the second phase. Returns the exit code of the run.
int FirstPhase::removeOldChildDevices() {
    printMessage(MsgRemovingOldDrivers);
    removeDeviceById(DeviceTable[ChildFunction2Entry].hardwareId);
    removeDeviceById(DeviceTable[ChildFunction4Entry].hardwareId);
    removeDeviceById(DeviceTable[ChildFunction3Entry].hardwareId);
    removeDeviceById(DeviceTable[NewerAdapterEntry].hardwareId);
    if (present_[OnboardRvoEntry]) removeDeviceById(DeviceTable[OnboardRvoEntry].hardwareId);
    removeRemoteSupportServiceKeys();
    return finishAfterOldDriversRemoved();
}

// Runs the media's legacy setup program in the installer's console and
// waits for it. Returns the exit code of the run.
int FirstPhase::runLegacySetupProgram() {
    char commandLine[PathBufferSize];
    std::snprintf(commandLine, sizeof commandLine, "%s\\nt\\%s -S%s%s", directories_.source, "RVOSETUP.EXE",
                  run_.quietMode ? " -Q" : "", run_.delegateMode ? " -H" : "");

    STARTUPINFOA startup;
    inheritStartupInfo(&startup, 0, 0);

    PROCESS_INFORMATION started;
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        printFileSystemError(Result::failure("CreateProcessA", GetLastError(), commandLine));
        return ExitFailed;
    }
    ProcessHandles handles(started);
    // A program whose end or result cannot be learnt has not been seen to
    // succeed: that counts as a failed installation.
    DWORD programExitCode = 0;
    if (WaitForSingleObject(handles.process.get(), INFINITE) == WAIT_FAILED) {
        printFileSystemError(Result::failure("WaitForSingleObject", GetLastError(), commandLine));
        return ExitFailed;
    }
    if (!GetExitCodeProcess(handles.process.get(), &programExitCode)) {
        printFileSystemError(Result::failure("GetExitCodeProcess", GetLastError(), commandLine));
        return ExitFailed;
    }
    return exitCodeOfLegacyProgram(programExitCode);
}

// The branch of a machine with known Plug and Play devices.
int FirstPhase::installKnownDevices() {
    int keysRemoved = removeRestartFeatureServiceKeys();

    // The earlier processor service goes before either road that waits for
    // the second phase: that phase's install run registers the media's, but
    // leaves a registration that it finds in place as it is. A removal that
    // could not start fails the installation of the binding road.
    int removalFailed = 0;
    if (present_[NewerAdapterEntry] && !run_.resumeMode && isProcessorServiceInstalled() == 1)
        removalFailed = !runProcessorServiceRemoval();

    if (present_[OlderAdapterEntry] && present_[OnboardBlennaEntry] && !run_.resumeMode &&
        lacksRecognizedDriverVersion() == 1)
        return removeOldProcessorDriver();

    // The run that resumes after the restart finds the old child functions
    // enumerated again; removing them once more would schedule yet another
    // restart, for ever. It binds them instead, as the service phase does.
    if (!run_.resumeMode && (present_[ChildFunction2Entry] || present_[ChildFunction4Entry]))
        return removeOldChildDevices();

    BindingOutcome bound = bindPresentDevices(run_.detection, directories_);
    if (removalFailed || bound.failed) return finishRun(ExitFailed, WithFinalText);
    if (bound.restartRequired || keysRemoved) return finishRun(ExitRestartNeeded, WithFinalText);
    return finishRun(ExitComplete, WithFinalText);
}

int FirstPhase::run() {
    loadMessages();
    printMessage(MsgBanner);

    // Without an administrator's rights the service control manager, the
    // system directory, the machine's registry and its devices all refuse
    // the work: the run says so and changes nothing.
    if (run_.managerAccessDenied) {
        printMessage(MsgAdministratorRequired);
        return finishRun(ExitFailed, WithFinalText);
    }

    RunDirectories& directories = run_.directories;
    UINT length = GetSystemDirectoryA(directories.system, sizeof directories.system);
    if (length == 0 || length >= MAX_PATH) {
        traceFailure(Result::failure("GetSystemDirectoryA", length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE,
                                     "the system directory"));
        return finishRun(ExitFailed, WithFinalText);
    }
    std::snprintf(directories.staging, sizeof directories.staging, "%.259s\\drivers\\korpa", directories.system);

    if (_stricmp(directories.source, directories.staging) != 0) stageMediaFiles(directories, run_.quietMode);

    if (isUsbManagementDevicePresent(run_.detection) == 1 && !run_.delegateMode)
        return finishRun(removeEarlierSoftware(directories, run_.quietMode) ? ExitRestartNeeded : ExitComplete,
                         WithFinalText);

    if (!detectKnownDevices(run_.detection)) {
        // A scan that the Setup API broke off found nothing to go by: the
        // machine's devices are unknown, and the legacy program's road (for
        // machines without known devices) would claim success over them.
        DWORD scanError = GetLastError();
        if (scanError != ERROR_SUCCESS && scanError != ERROR_NO_MORE_ITEMS) {
            printFileSystemError(Result::failure("SetupDiEnumDeviceInfo", scanError, "the present devices"));
            return finishRun(ExitFailed, WithFinalText);
        }
        return finishRun(runLegacySetupProgram(), WithFinalText);
    }
    if (run_.delegateMode) return returnAtOnce(ExitComplete);

    return installKnownDevices();
}

}  // namespace

int runFirstPhase(RunState& run) { return FirstPhase(run).run(); }
