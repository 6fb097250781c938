#include "setup/run_state.h"

#include <cstring>

#include "devices/device_table.h"
#include "platform/path_buffer.h"
#include "setup/options.h"

int quietMode;
char sourceDir[260];
char systemDir[PathBufferSize];
char stagingDir[PathBufferSize];
int installFailed;
int restartRequired;
int managerAccessDenied;

void resetRunState() {
    quietMode = 0;
    std::memset(sourceDir, 0, sizeof sourceDir);
    std::memset(systemDir, 0, sizeof systemDir);
    std::memset(stagingDir, 0, sizeof stagingDir);
    installFailed = 0;
    restartRequired = 0;
    managerAccessDenied = 0;
    unattendedMode = 0;
    resumeMode = 0;
    delegateMode = 0;
    std::memset(&DetectionState, 0, sizeof DetectionState);
}
