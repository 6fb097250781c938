// The driver installation plan: binds every device that detection marked
// present, in one fixed order, from the INF files of the staging tree.
#include "devices/install_plan.h"

#include <cstdio>

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
    BindingRun(const DetectionStateRecord& detection, const RunDirectories& directories)
        : detection_(detection), directories_(directories) {}

    BindingOutcome run();

private:
    // The full path of an entry's INF, built afresh for every step.
    int buildInfPath(char* path, size_t size, DeviceEntry entry) const {
        int n = std::snprintf(path, size, "%s%s", directories_.staging, DeviceTable[entry].infPath);
        return n > 0 && static_cast<size_t>(n) < size;
    }

    // Binds the entry's INF to the present devices with the id. A path that
    // does not fit counts as a failed binding, without a call.
    int bindEntry(DeviceEntry entry, const char* hardwareId) {
        char infPath[PathBufferSize];
        if (!buildInfPath(infPath, sizeof infPath, entry)) {
            traceFailure(Result::failure("building the INF path", ERROR_FILENAME_EXCED_RANGE, DeviceTable[entry].infPath));
            return 0;
        }
        return traceFailure(installDeviceDriver(hardwareId, infPath, &restartIndication_)).ok();
    }

    // A binding whose failure counts; the restart indication is looked at
    // after it whatever its result.
    void bindCounted(DeviceEntry entry) {
        if (!bindEntry(entry, DeviceTable[entry].hardwareId)) outcome_.failed = 1;
        if (restartIndication_) outcome_.restartRequired = 1;
    }

    // An adapter binding on which later steps depend: after a failure the
    // restart indication is not looked at.
    int bindAdapter(DeviceEntry entry, const char* hardwareId) {
        if (!bindEntry(entry, hardwareId)) {
            outcome_.failed = 1;
            return 0;
        }
        if (restartIndication_) outcome_.restartRequired = 1;
        return 1;
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

    const DetectionStateRecord& detection_;
    const RunDirectories& directories_;
    BOOL restartIndication_ = FALSE;
    BindingOutcome outcome_ = {};
};

// Steps 2 to 6: the newer adapter's children, with a temporary root device
// of child function 5 while child function 4 of the old generation is there,
// and the processor service program's install run.
void BindingRun::bindNewerAdapterChildren() {
    const int* present = detection_.present;
    DeviceSet rootSet;
    SP_DEVINFO_DATA rootDevice = {};
    rootDevice.cbSize = sizeof rootDevice;
    if (present[ChildFunction4Entry]) {
        char infPath[PathBufferSize];
        const char* id = DeviceTable[ChildFunction5Entry].hardwareId;
        Result made = buildInfPath(infPath, sizeof infPath, ChildFunction5Entry)
                          ? createRootDevice(id, infPath, rootSet, &rootDevice)
                          : Result::failure("building the INF path", ERROR_FILENAME_EXCED_RANGE, id);
        if (!traceFailure(made).ok()) outcome_.failed = 1;
    }
    if (present[ChildFunction3Entry]) bindCounted(ChildFunction3Entry);
    if (present[ChildFunction5Entry]) bindCounted(ChildFunction5Entry);
    if (rootSet) {
        // Neither the removal nor the release counts; the error the removal
        // left stays the last error.
        SetupDiCallClassInstaller(DIF_REMOVE, rootSet.get(), &rootDevice);
        DWORD error = GetLastError();
        rootSet.reset();
        SetLastError(error);
    }
    Result installRun = runSystemProgram(directories_.system, InstallRunTail);
    if (!installRun.ok()) {
        printFileSystemError(installRun);
        outcome_.failed = 1;
    }
}

BindingOutcome BindingRun::run() {
    const int* present = detection_.present;

    if (present[NewerAdapterEntry] && bindAdapter(NewerAdapterEntry, DeviceTable[NewerAdapterEntry].hardwareId))
        bindNewerAdapterChildren();

    if (present[ChildFunction0Entry]) bindCounted(ChildFunction0Entry);
    if (present[ChildFunction1Entry]) bindCounted(ChildFunction1Entry);

    if (present[OlderAdapterEntry]) {
        // A second older adapter may expose, once its new driver runs,
        // functions that only the first one had before: they are bound too.
        const char* id0 = DeviceTable[ChildFunction0Entry].hardwareId;
        const char* id1 = DeviceTable[ChildFunction1Entry].hardwareId;
        int before0 = present[ChildFunction0Entry] ? countPresentDevices(id0) : 0;
        int before1 = present[ChildFunction1Entry] ? countPresentDevices(id1) : 0;
        if (bindAdapter(OlderAdapterEntry, olderAdapterId())) {
            if (!present[ChildFunction0Entry] || countPresentDevices(id0) > before0) bindCounted(ChildFunction0Entry);
            if (!present[ChildFunction1Entry] || countPresentDevices(id1) > before1) bindCounted(ChildFunction1Entry);
        }
    }

    for (int entry = OnboardRvoEntry; entry <= OnboardBlennaEntry; ++entry)
        if (present[entry]) bindCounted(static_cast<DeviceEntry>(entry));
    return outcome_;
}

}  // namespace

BindingOutcome bindPresentDevices(const DetectionStateRecord& detection, const RunDirectories& directories) {
    return BindingRun(detection, directories).run();
}
