// SNAPSHOT.EXE FOLDER: captures this machine as a winsim machine description
// (FOLDER\machine.json) with copies of the product family's files
// (FOLDER\files\...), and changes nothing else on the machine.
// Exit code 0: captured; 1: wrong command line; 2: something could not be
// read or written (the message says what; no description is left).
#include <cstdio>
#include <cstring>

#include "snapshot.h"

namespace {

const int Captured = 0, Usage = 1, Failed = 2;

const char* errorMeaning(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND: return " (not found)";
        case ERROR_PATH_NOT_FOUND: return " (path not found)";
        case ERROR_ACCESS_DENIED: return " (access denied)";
        case ERROR_NOT_ENOUGH_MEMORY: return " (not enough memory)";
        case ERROR_SHARING_VIOLATION: return " (in use by another program)";
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS: return " (already exists)";
        case ERROR_FILENAME_EXCED_RANGE: return " (path too long)";
        default: return "";
    }
}

const char* const UsageText =
    "Usage: SNAPSHOT FOLDER\n"
    "Captures this machine for a rehearsal of the installation with winsim: the devices, the\n"
    "service keys of the product family and of mpsetup, RunOnce, and copies of the product\n"
    "family's files. Writes FOLDER\\machine.json and FOLDER\\files; FOLDER must be new or empty.\n"
    "Nothing else on the machine is changed.\n";

int report(const snapshot::Failure& f, const char* folder, bool written) {
    std::fflush(stdout);  // the progress so far, then the failure
    std::fprintf(stderr, "SNAPSHOT: %s: error %lu%s.\n", f.what, static_cast<unsigned long>(f.error),
                 errorMeaning(f.error));
    if (written)
        std::fprintf(stderr, "The capture in %s is incomplete and has no description: delete the folder.\n", folder);
    else
        std::fprintf(stderr, "Nothing was captured.\n");
    return Failed;
}

unsigned count(size_t n) { return static_cast<unsigned>(n); }

int run(const char* folder) {
    using namespace snapshot;
    Capture capture;
    Failure failure;
    std::printf("Capturing this machine for a rehearsal with winsim.\n");
    if (!captureSystem(capture, failure) || !captureDevices(capture, failure) || !captureRegistry(capture, failure) ||
        !listFiles(capture, failure) || !capturePendingReplacements(capture, failure) ||
        !captureWhole(capture, failure))
        return report(failure, folder, false);
    std::printf("  System directory:     %s\n", capture.systemDirectory);
    std::printf("  Default language:     0x%04X\n", capture.defaultLangId);
    std::printf("  Present devices:      %u, %u of them bound to a driver\n", count(capture.deviceCount),
                count(capture.boundDevices));
    std::printf("  Family service keys:  %u (the product family's and mpsetup)\n", count(capture.serviceKeys));
    std::printf("  RunOnce values:       %u\n", count(capture.runOnceValues));
    std::printf("  Family files:         %u\n", count(capture.fileCount));
    std::printf("  Staging tree folders: %u\n", count(capture.directoryCount));
    size_t next = 0;
    for (const char* line = capture.notes.data; line && next < capture.notes.size;) {
        const char* end = std::strchr(line + 0, '\n');
        std::printf("  Note: %.*s.\n", static_cast<int>(end - line), line);
        next = static_cast<size_t>(end + 1 - capture.notes.data);
        line = capture.notes.data + next;
    }

    char path[snapshot::PathSize];
    if (std::snprintf(path, sizeof path, "%s\\%s", folder, DescriptionName) >= static_cast<int>(sizeof path)) {
        fail(failure, ERROR_FILENAME_EXCED_RANGE, "the path %s\\%s is too long", folder, DescriptionName);
        return report(failure, folder, false);
    }
    if (!prepareOutput(folder, failure)) return report(failure, folder, false);
    Text description;
    writeDescriptionText(capture, description);
    if (!copyFiles(folder, capture, failure) || !writeDescription(path, description, failure))
        return report(failure, folder, true);
    std::printf("Wrote %s; the files are copied below %s\\files.\n", path, folder);
    std::printf("Rehearse the installation on it with: winsim create MACHINE --from %s\n", DescriptionName);
    return Captured;
}

}  // namespace

int main(int argc, char** argv) {
    const char* const help[] = {"/?", "-?", "-h", "--help"};
    for (const char* h : help)
        if (argc == 2 && !std::strcmp(argv[1], h)) {
            std::fputs(UsageText, stdout);
            return Captured;
        }
    if (argc != 2 || !*argv[1] || std::strlen(argv[1]) >= snapshot::PathSize - 32) {
        std::fputs(UsageText, stderr);
        return Usage;
    }
    char folder[snapshot::PathSize];
    std::snprintf(folder, sizeof folder, "%s", argv[1]);
    size_t n = std::strlen(folder);
    while (n > 3 && (folder[n - 1] == '\\' || folder[n - 1] == '/')) folder[--n] = '\0';
    return run(folder);
}
