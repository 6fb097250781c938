#include "setup/system_directory.h"

#include "platform/win_files.h"

Result fetchSystemDirectory(RunDirectories& directories) {
    UINT length = GetSystemDirectoryA(directories.system, sizeof directories.system);
    Result fetched = Result::success();
    if (length == 0 || length >= MAX_PATH)
        fetched = Result::failure("GetSystemDirectoryA", length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE,
                                  "the system directory");
    else if (!formStagingDir(directories))
        fetched = Result::failure("building the staging path", ERROR_FILENAME_EXCED_RANGE, directories.system);
    if (!fetched.ok()) directories.system[0] = '\0';
    return fetched;
}
