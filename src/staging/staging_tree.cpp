// The staging tree under the system's drivers directory and its file lists.
#include "staging/staging_tree.h"

#include "base/path_buffer.h"
#include "messages/trace.h"
#include "platform/win_files.h"
#include "staging/guarded_copy.h"

namespace {

// Directories of the tree below the staging root, parents before children: each
// creation makes one level only.
const char* const StagingDirectories[] = {
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
const StagedFile StagedFiles[] = {
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

}  // namespace

void stageMediaFiles(const Catalogue& messages, const RunDirectories& directories, bool quiet) {
    char directory[PathBufferSize];
    // On a repeated installation every directory exists already, and a
    // directory that cannot be made shows in the copies into it failing.
    for (const char* sub : StagingDirectories)
        if (joinPath(directory, directories.staging, sub)) CreateDirectoryA(directory, nullptr);

    char sourceDirectory[PathBufferSize];
    char targetDirectory[PathBufferSize];
    for (const StagedFile& file : StagedFiles) {
        if (joinPath(sourceDirectory, directories.source, file.directory) &&
            joinPath(targetDirectory, directories.staging, file.directory))
            traceFailure(copyFileGuarded(messages, sourceDirectory, targetDirectory, file.name, quiet));
    }
}

void copyStagedFilesToSystem(const Catalogue& messages, const RunDirectories& directories,
                             std::initializer_list<const char*> names, bool quiet) {
    char sourceDirectory[PathBufferSize];
    char targetDirectory[PathBufferSize];
    if (!joinPath(sourceDirectory, directories.staging, ProgramFolder) ||
        !joinPath(targetDirectory, directories.system, "\\"))
        return;
    for (const char* name : names) traceFailure(copyFileGuarded(messages, sourceDirectory, targetDirectory, name, quiet));
}

void refreshServicePrograms(const Catalogue& messages, const RunDirectories& directories, bool quiet) {
    copyStagedFilesToSystem(messages, directories, {"QRVMPREM.EXE", "QRVMPSVC.EXE"}, quiet);
}
