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
#include "setup/second_phase.h"
#include "setup/system_directory.h"
#include "staging/staging_tree.h"

namespace {

// Final text of the end step.
enum FinalText { WithFinalText, WithoutFinalText };

// The old processor driver, below the system directory.
const char OldProcessorDriver[] = "\\drivers\\qrvmpw.sys";

// One first phase over the run's state.
class FirstPhase {
public:
    explicit FirstPhase(RunState& run) : run_(run) {}
    ExitCode run();

private:
    ExitCode finishRun(ExitCode exitCode, FinalText finalText);
    ExitCode returnAtOnce(ExitCode exitCode);
    bool scheduleSecondPhase();
    ExitCode finishAfterOldDriversRemoved();
    ExitCode removeOldProcessorDriver();
    bool runProcessorServiceRemoval();
    ExitCode removeOldChildDevices();
    ExitCode runLegacySetupProgram();
    ExitCode installKnownDevices();

    RunState& run_;
    const Catalogue& messages_ = run_.messages;
    const RunDirectories& directories_ = run_.directories;
    const bool* present_ = run_.detection.present;
};

// The end step: the final text for the exit code, the key wait unless
// quiet, the release of a loaded catalogue.
ExitCode FirstPhase::finishRun(ExitCode exitCode, FinalText finalText) {
    if (finalText == WithFinalText) printFinalText(messages_, exitCode);
    if (!run_.quietMode) {
        messages_.print(MsgPressAnyKey);
        _getch();
    }
    run_.messages.release();
    return exitCode;
}

// The paths that end without the end step still give back a loaded
// catalogue, so that no heap block outlives the run.
ExitCode FirstPhase::returnAtOnce(ExitCode exitCode) {
    run_.messages.release();
    return exitCode;
}

// False when the second phase could not be scheduled.
bool FirstPhase::scheduleSecondPhase() {
    if (run_.unattendedMode) return traceFailure(createSecondPhaseService()).ok();
    Result written = setSecondPhaseRunOnce();
    if (written.ok()) return true;
    traceFailure(written);
    messages_.print(MsgRegistryWriteError);
    return false;
}

// Once old drivers are gone, only the second phase can install the new ones:
// the run ends with the reboot message when it is scheduled, and as a
// failed installation when it is not (nothing would ever install them).
ExitCode FirstPhase::finishAfterOldDriversRemoved() {
    if (!scheduleSecondPhase()) return finishRun(ExitFailed, WithFinalText);
    messages_.print(MsgRemovedOldDrivers);
    return finishRun(ExitRestartNeeded, WithoutFinalText);
}

// The old processor driver file is deleted and the new drivers wait for the
// second phase.
ExitCode FirstPhase::removeOldProcessorDriver() {
    messages_.print(MsgRemovingOldDrivers);
    char driverPath[PathBufferSize];
    if (!joinPath(driverPath, directories_.system, OldProcessorDriver)) {
        traceFailure(Result::failure("building the driver's path", ERROR_FILENAME_EXCED_RANGE, directories_.system));
        return finishRun(ExitFailed, WithFinalText);
    }
    // A file that is not there, or whose folder is not there, is as good as
    // deleted: a machine that never had the driver file would otherwise
    // never be installed without /R. A deletion that fails otherwise ends
    // the run as a failed installation, with its final text: nothing was
    // scheduled.
    if (!DeleteFileA(driverPath)) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            traceFailure(Result::failure("DeleteFileA", error, driverPath));
            return finishRun(ExitFailed, WithFinalText);
        }
    }
    return finishAfterOldDriversRemoved();
}

// The processor service program removes its service; the service programs
// it deleted are copied back from the staging tree. False when the program
// could not be started, which fails the installation.
bool FirstPhase::runProcessorServiceRemoval() {
    Result removal = runSystemProgram(directories_.system, "\\qrvmpsvc.exe -remove");
    if (removal.ok()) {
        refreshServicePrograms(messages_, directories_, run_.quietMode);
        return true;
    }
    printFileSystemError(messages_, removal);
    return false;
}

// The child devices of the old driver generation are removed and the new
// drivers wait for the second phase.
ExitCode FirstPhase::removeOldChildDevices() {
    messages_.print(MsgRemovingOldDrivers);
    removeDeviceById(DeviceTable[OldGenerationRemotePointerEntry].hardwareId);
    removeDeviceById(DeviceTable[OldGenerationProcessorAccessEntry].hardwareId);
    removeDeviceById(DeviceTable[NewerAdapterSerialPortEntry].hardwareId);
    removeDeviceById(DeviceTable[NewerAdapterEntry].hardwareId);
    if (present_[OnboardRvoEntry]) removeDeviceById(DeviceTable[OnboardRvoEntry].hardwareId);
    removeRemoteSupportServiceKeys();
    return finishAfterOldDriversRemoved();
}

// Runs the media's legacy setup program in the installer's console and
// waits for it.
ExitCode FirstPhase::runLegacySetupProgram() {
    char commandLine[PathBufferSize];
    std::snprintf(commandLine, sizeof commandLine, "%s\\nt\\%s -S%s%s", directories_.source, "RVOSETUP.EXE",
                  run_.quietMode ? " -Q" : "", run_.delegateMode ? " -H" : "");

    STARTUPINFOA startup;
    inheritStartupInfo(&startup, 0, 0);

    PROCESS_INFORMATION started;
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        printFileSystemError(messages_, Result::failure("CreateProcessA", GetLastError(), commandLine));
        return ExitFailed;
    }
    ProcessHandles handles(started);
    // A program whose end or result cannot be learnt has not been seen to
    // succeed: that counts as a failed installation.
    DWORD programExitCode = 0;
    if (WaitForSingleObject(handles.process.get(), INFINITE) == WAIT_FAILED) {
        printFileSystemError(messages_, Result::failure("WaitForSingleObject", GetLastError(), commandLine));
        return ExitFailed;
    }
    if (!GetExitCodeProcess(handles.process.get(), &programExitCode)) {
        printFileSystemError(messages_, Result::failure("GetExitCodeProcess", GetLastError(), commandLine));
        return ExitFailed;
    }
    return exitCodeOfLegacyProgram(programExitCode);
}

// The branch of a machine with known Plug and Play devices.
ExitCode FirstPhase::installKnownDevices() {
    bool keysRemoved = removeRestartFeatureServiceKeys();

    // The earlier processor service goes before either road that waits for
    // the second phase: that phase's install run registers the media's, but
    // leaves a registration that it finds in place as it is. A removal that
    // could not start fails the installation of the binding road.
    bool removalFailed = false;
    if (present_[NewerAdapterEntry] && !run_.resumeMode && isProcessorServiceInstalled())
        removalFailed = !runProcessorServiceRemoval();

    if (present_[OlderAdapterEntry] && present_[OnboardBlennaEntry] && !run_.resumeMode &&
        lacksRecognizedDriverVersion())
        return removeOldProcessorDriver();

    // The run that resumes after the restart finds the old child functions
    // enumerated again; removing them once more would schedule yet another
    // restart, for ever. It binds them instead, as the service phase does.
    if (!run_.resumeMode &&
        (present_[OldGenerationRemotePointerEntry] || present_[OldGenerationProcessorAccessEntry]))
        return removeOldChildDevices();

    BindingOutcome bound = bindPresentDevices(messages_, run_.detection, directories_);
    if (removalFailed || bound.failed) return finishRun(ExitFailed, WithFinalText);
    if (bound.restartRequired || keysRemoved) return finishRun(ExitRestartNeeded, WithFinalText);
    return finishRun(ExitComplete, WithFinalText);
}

ExitCode FirstPhase::run() {
    // Without a language file the built-in catalogue stands.
    run_.messages.load(directories_.source, selectLanguage());
    messages_.print(MsgBanner);

    // Without an administrator's rights the service control manager, the
    // system directory, the machine's registry and its devices all refuse
    // the work: the run says so and changes nothing.
    if (run_.managerAccessDenied) {
        messages_.print(MsgAdministratorRequired);
        return finishRun(ExitFailed, WithFinalText);
    }

    if (!traceFailure(fetchSystemDirectory(run_.directories)).ok()) return finishRun(ExitFailed, WithFinalText);

    // The staged copy runs from the tree it would stage into: nothing to copy.
    if (_stricmp(directories_.source, directories_.staging) != 0)
        stageMediaFiles(messages_, directories_, run_.quietMode);

    if (isUsbManagementDevicePresent(run_.detection) && !run_.delegateMode)
        return finishRun(removeEarlierSoftware(messages_, directories_, run_.quietMode) ? ExitRestartNeeded
                                                                                        : ExitComplete,
                         WithFinalText);

    // A scan that the Setup API broke off found nothing to go by: the
    // machine's devices are unknown, and the legacy program's road (for
    // machines without known devices) would claim success over them.
    Result scan = detectKnownDevices(run_.detection);
    if (!scan.ok()) {
        printFileSystemError(messages_, scan);
        return finishRun(ExitFailed, WithFinalText);
    }
    if (!anyKnownDevicePresent(run_.detection)) return finishRun(runLegacySetupProgram(), WithFinalText);
    if (run_.delegateMode) return returnAtOnce(ExitComplete);

    return installKnownDevices();
}

}  // namespace

ExitCode runFirstPhase(RunState& run) { return FirstPhase(run).run(); }
