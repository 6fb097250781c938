// The staging tree under the system's drivers directory and its file lists.
#include "staging/staging_tree.h"

#include <cstdio>

#include "base/path_buffer.h"
#include "messages/trace.h"
#include "platform/win_files.h"
#include "staging/guarded_copy.h"

// Directories of the tree below the staging root, parents before children: each
// creation makes one level only.
static const char* const StagingDirectories[] = {
    "\\",
    "\\win2000\\",
    "\\nt\\",
    "\\nt\\K4100\\",
    "\\nt\\K4100\\rmtptr\\",
    "\\nls\\",
};

struct StagedFile {
    const char* name;
    const char* directory;  // the same below the media root and the staging root
};

// Copy order. SETUP.EXE comes twice: the second copy is made again after
// RVOSETUP.EXE.
static const StagedFile StagedFiles[] = {
    {"SETUP.EXE", "\\win2000\\"},
    {"KORP.INF", "\\win2000\\"},
    {"KORPA.INF", "\\win2000\\"},
    {"SERW.INF", "\\win2000\\"},
    {"QRVSERW.SYS", "\\win2000\\"},
    {"QRVMPREM.DLL", "\\win2000\\"},
    {"QRVMPW.DLL", "\\win2000\\"},
    {"QRVMPW.SYS", "\\win2000\\"},
    {"MPW.INF", "\\win2000\\"},
    {"KORP.CAT", "\\win2000\\"},
    {"KORPA.CAT", "\\win2000\\"},
    {"SERW.CAT", "\\win2000\\"},
    {"MPW.CAT", "\\win2000\\"},
    {"COINFCP.DLL", "\\win2000\\"},
    {"QRVMPREM.EXE", "\\win2000\\"},
    {"QRVMPSVC.EXE", "\\win2000\\"},
    {"RVOSETUP.EXE", "\\nt\\"},
    {"SETUP.EXE", "\\win2000\\"},
    {"ENGLISH.NLS", "\\nls\\"},
    {"JAPANESE.NLS", "\\nls\\"},
};

// Programs copied from the tree's "\win2000\" into the system directory.
static const char* const RefreshedPrograms[] = {
    "QRVMPREM.EXE",
    "QRVMPSVC.EXE",
};

int stageMediaFiles(const RunDirectories& directories, int quiet) {
    char directory[PathBufferSize];
    // On a repeated installation every directory exists already, and a
    // directory that cannot be made shows in the copies into it failing.
    for (const char* sub : StagingDirectories) {
        int n = std::snprintf(directory, sizeof directory, "%s%s", directories.staging, sub);
        if (n < 0 || static_cast<size_t>(n) >= sizeof directory) continue;
        CreateDirectoryA(directory, nullptr);
    }

    char sourceDirectory[PathBufferSize];
    char targetDirectory[PathBufferSize];
    // A missing or failed file is skipped silently; the next one follows.
    for (const StagedFile& file : StagedFiles) {
        int s = std::snprintf(sourceDirectory, sizeof sourceDirectory, "%s%s", directories.source, file.directory);
        int t = std::snprintf(targetDirectory, sizeof targetDirectory, "%s%s", directories.staging, file.directory);
        if (s < 0 || t < 0 || static_cast<size_t>(s) >= sizeof sourceDirectory ||
            static_cast<size_t>(t) >= sizeof targetDirectory)
            continue;
        traceFailure(copyFileGuarded(sourceDirectory, targetDirectory, file.name, quiet));
    }
    return 0;
}

int refreshServicePrograms(const RunDirectories& directories, int quiet) {
    char sourceDirectory[PathBufferSize];
    char targetDirectory[PathBufferSize];
    int s = std::snprintf(sourceDirectory, sizeof sourceDirectory, "%s\\win2000\\", directories.staging);
    int t = std::snprintf(targetDirectory, sizeof targetDirectory, "%s\\", directories.system);
    if (s < 0 || t < 0 || static_cast<size_t>(s) >= sizeof sourceDirectory ||
        static_cast<size_t>(t) >= sizeof targetDirectory)
        return 0;
    for (const char* name : RefreshedPrograms) traceFailure(copyFileGuarded(sourceDirectory, targetDirectory, name, quiet));
    return 0;
}
