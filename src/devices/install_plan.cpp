// The driver installation plan: binds every device that detection marked
// present, in one fixed order, from the INF files of the staging tree.
#include "devices/install_plan.h"

#include "base/path_buffer.h"
#include "devices/device_table.h"
#include "devices/driver_ops.h"
#include "messages/trace.h"
#include "platform/win_devices.h"
#include "programs/family_programs.h"

namespace {

const char InstallRunTail[] = "\\qrvmpsvc.exe -install";

// One run of the plan. The restart indication is passed to every binding and
// is not reset between them: once a binding asked for a restart, every later
// successful binding reports it again.
class BindingRun {
public:
    BindingRun(const Catalogue& messages, const DetectionStateRecord& detection, const RunDirectories& directories,
               PlanStepHook beforeStep)
        : messages_(messages), detection_(detection), directories_(directories), beforeStep_(beforeStep) {}

    BindingOutcome run();

private:
    void startStep() const {
        if (beforeStep_) beforeStep_();
    }

    // The full path of an entry's INF, built afresh for every step.
    bool buildInfPath(char (&path)[PathBufferSize], DeviceEntry entry) const {
        return joinPath(path, directories_.staging, DeviceTable[entry].infPath);
    }

    // Binds the entry's INF to the present devices with the id. A path that
    // does not fit counts as a failed binding, without a call.
    bool bindEntry(DeviceEntry entry, const char* hardwareId) {
        startStep();
        char infPath[PathBufferSize];
        if (!buildInfPath(infPath, entry)) {
            traceFailure(Result::failure("building the INF path", ERROR_FILENAME_EXCED_RANGE, DeviceTable[entry].infPath));
            return false;
        }
        return traceFailure(installDeviceDriver(messages_, hardwareId, infPath, &restartIndication_)).ok();
    }

    // A binding whose failure counts; the restart indication is looked at
    // after it whatever its result.
    void bindCounted(DeviceEntry entry) {
        if (!bindEntry(entry, DeviceTable[entry].hardwareId)) outcome_.failed = true;
        if (restartIndication_) outcome_.restartRequired = true;
    }

    // An adapter binding on which later steps depend: after a failure the
    // restart indication is not looked at.
    bool bindAdapter(DeviceEntry entry, const char* hardwareId) {
        if (!bindEntry(entry, hardwareId)) {
            outcome_.failed = true;
            return false;
        }
        if (restartIndication_) outcome_.restartRequired = true;
        return true;
    }

    // The id of the older adapter as detection found it. A run forced with W
    // has none: the table's id, which every form of the adapter's ids
    // contains, stands in for it, so that the binding can still match the
    // adapter.
    const char* olderAdapterId() const {
        if (detection_.oldAdapterHardwareId[0] != '\0') return detection_.oldAdapterHardwareId;
        return DeviceTable[OlderAdapterEntry].hardwareId;
    }

    void bindNewerAdapterChildren();

    const Catalogue& messages_;
    const DetectionStateRecord& detection_;
    const RunDirectories& directories_;
    const PlanStepHook beforeStep_;
    BOOL restartIndication_ = FALSE;
    BindingOutcome outcome_ = {};
};

// The newer adapter's children, with a temporary root device of the new
// processor access while the old generation's is there, and the processor
// service program's install run.
void BindingRun::bindNewerAdapterChildren() {
    const bool* present = detection_.present;
    const char* id = DeviceTable[NewGenerationProcessorAccessEntry].hardwareId;
    char infPath[PathBufferSize];
    const bool infPathBuilt = buildInfPath(infPath, NewGenerationProcessorAccessEntry);
    // A temporary root device that a run ended before its removal left (the
    // machine lost power, the process was killed) would keep the processor
    // driver on no hardware for good; the old generation's device that made
    // the run create it may be gone since. Removed first, whatever this run
    // does; its removal does not count.
    if (infPathBuilt) removeLeftoverRootDevices(id, infPath);
    DeviceSet rootSet;
    SP_DEVINFO_DATA rootDevice = {};
    rootDevice.cbSize = sizeof rootDevice;
    if (present[OldGenerationProcessorAccessEntry]) {
        startStep();
        Result made = infPathBuilt ? createRootDevice(id, infPath, rootSet, &rootDevice)
                                   : Result::failure("building the INF path", ERROR_FILENAME_EXCED_RANGE, id);
        if (!traceFailure(made).ok()) outcome_.failed = true;
    }
    if (present[NewerAdapterSerialPortEntry]) bindCounted(NewerAdapterSerialPortEntry);
    if (present[NewGenerationProcessorAccessEntry]) bindCounted(NewGenerationProcessorAccessEntry);
    if (rootSet) {
        startStep();
        // Neither the removal nor the release counts.
        SetupDiCallClassInstaller(DIF_REMOVE, rootSet.get(), &rootDevice);
        rootSet.reset();
    }
    startStep();
    Result installRun = runSystemProgram(directories_.system, InstallRunTail);
    if (!installRun.ok()) {
        printFileSystemError(messages_, installRun);
        outcome_.failed = true;
    }
}

BindingOutcome BindingRun::run() {
    const bool* present = detection_.present;

    if (present[NewerAdapterEntry] && bindAdapter(NewerAdapterEntry, DeviceTable[NewerAdapterEntry].hardwareId))
        bindNewerAdapterChildren();

    if (present[OlderAdapterSerialPortEntry]) bindCounted(OlderAdapterSerialPortEntry);
    if (present[OlderAdapterProcessorAccessEntry]) bindCounted(OlderAdapterProcessorAccessEntry);

    if (present[OlderAdapterEntry]) {
        // A second older adapter may expose, once its new driver runs,
        // functions that only the first one had before: they are bound too.
        const DeviceEntry children[] = {OlderAdapterSerialPortEntry, OlderAdapterProcessorAccessEntry};
        int before[2] = {0, 0};
        for (int i = 0; i < 2; ++i)
            if (present[children[i]]) before[i] = countPresentDevices(DeviceTable[children[i]].hardwareId);
        if (bindAdapter(OlderAdapterEntry, olderAdapterId())) {
            for (int i = 0; i < 2; ++i)
                if (!present[children[i]] || countPresentDevices(DeviceTable[children[i]].hardwareId) > before[i])
                    bindCounted(children[i]);
        }
    }

    for (int entry = OnboardRvoEntry; entry <= OnboardBlennaEntry; ++entry)
        if (present[entry]) bindCounted(static_cast<DeviceEntry>(entry));
    return outcome_;
}

}  // namespace

BindingOutcome bindPresentDevices(const Catalogue& messages, const DetectionStateRecord& detection,
                                  const RunDirectories& directories, PlanStepHook beforeStep) {
    return BindingRun(messages, detection, directories, beforeStep).run();
}
