#include "setup/first_phase.h"

#include <cstdio>

#include "devices/device_table.h"
#include "messages/messages.h"
#include "platform/win_files.h"
#include "setup/run_state.h"

int runFirstPhase() {
    messageTable = BuiltinMessages;
    printMessage(MsgBanner);
    UINT length = GetSystemDirectoryA(systemDir, sizeof systemDir);
    if (length == 0 || length >= MAX_PATH) return 2;
    std::snprintf(stagingDir, sizeof stagingDir, "%.259s\\drivers\\korpa", systemDir);
    if (!isUsbManagementDevicePresent()) detectKnownDevices();
    return 0;
}
