// Files: a copy onto a file that exists, that is read-only, hidden, or held
// open by another handle without sharing (in use), and an in-use file
// replaced at the next start (MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT,
// which Windows keeps in the PendingFileRenameOperations value).
#include <cstdlib>
#include <cstring>
#include <string>

#include "conformance.h"

namespace conformance {

const char* const WorkFolder = "C:\\korpaconf";

namespace {

// The room for a file's content and for the PendingFileRenameOperations value.
const unsigned ContentSize = 64;
const DWORD PendingSize = 4096;

const char* const SessionManagerKey = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::string inFolder(const char* name) {
    return std::string(WorkFolder) + "\\" + name;
}

bool writeFile(const std::string& path, const char* content) {
    FileHandle file(
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    DWORD size = static_cast<DWORD>(std::strlen(content));
    return file && WriteFile(file.get(), content, size, &written, nullptr) && written == size;
}

// A file's content, as far as it fits ("<unreadable>" when it cannot be read).
std::string content(const std::string& path) {
    FileDescriptor file(_sopen(path.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYNO));
    if (!file) return "<unreadable>";
    char text[ContentSize];
    int n = _read(file.get(), text, sizeof text);
    return n < 0 ? "<unreadable>" : std::string(text, static_cast<size_t>(n));
}

Answer copy(const std::string& from, const std::string& to, BOOL failIfExists) {
    return answer([&] { return CopyFileA(from.c_str(), to.c_str(), failIfExists); });
}

Answer setAttributes(const std::string& path, DWORD attributes) {
    return answer([&] { return SetFileAttributesA(path.c_str(), attributes); });
}

// The PendingFileRenameOperations value's data, empty when there is none.
std::string pendingRenames(HKEY sessionManager) {
    char data[PendingSize];
    DWORD size = sizeof data, type = 0;
    LONG rc = RegQueryValueExA(sessionManager, "PendingFileRenameOperations", nullptr, &type,
                               reinterpret_cast<BYTE*>(data), &size);
    ok(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND, "PendingFileRenameOperations can be read");
    if (rc != ERROR_SUCCESS) return std::string();
    ok(type == REG_MULTI_SZ, "PendingFileRenameOperations is a REG_MULTI_SZ");
    return std::string(data, size);
}

// A rename of an in-use file at the next start: the pair of names appended
// to the value (the target after a '!' when it may be replaced), the file
// untouched until then (inUse reads it). The value is put back as it was.
void replacedAtNextStart(const std::string& source, const std::string& target) {
    RegistryKey sessionManager;
    LONG rc = openRegistryKey(HKEY_LOCAL_MACHINE, SessionManagerKey, KEY_QUERY_VALUE | KEY_SET_VALUE, sessionManager);
    ok(rc == ERROR_SUCCESS, "the Session Manager key opens");
    if (!sessionManager) return;
    std::string before = pendingRenames(sessionManager.get());
    Answer a = answer([&] {
        return MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING);
    });
    expect_answer("MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT onto an in-use file", a, TRUE, Sentinel);
    std::string pair = "\\??\\" + source + std::string(1, '\0') + "!\\??\\" + target + std::string(1, '\0');
    std::string after = pendingRenames(sessionManager.get());
    std::string expected = (before.empty() ? std::string() : before.substr(0, before.size() - 1)) + pair + '\0';
    ok(after == expected, "PendingFileRenameOperations holds the source and, after '!', the target");
    if (before.empty())
        RegDeleteValueA(sessionManager.get(), "PendingFileRenameOperations");
    else
        RegSetValueExA(sessionManager.get(), "PendingFileRenameOperations", 0, REG_MULTI_SZ,
                       reinterpret_cast<const BYTE*>(before.data()), static_cast<DWORD>(before.size()));
}

// The target written afresh with the attributes, for the next case.
bool freshTarget(const std::string& target, DWORD attributes) {
    return SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL) && writeFile(target, "old") &&
           SetFileAttributesA(target.c_str(), attributes);
}

// Wine keeps the read-only attribute as the file's write permission, which
// root does not need: where Wine runs as root (the Wine suite says so), it
// copies onto a read-only file. Elsewhere Wine refuses, as Windows does.
const char* readOnlyDifference() {
#ifdef _WIN32
    const char* root = std::getenv("CONFORMANCE_WINE_RUNS_AS_ROOT");
    if (root && std::strcmp(root, "1") == 0) return "wine-read-only-as-root";
#endif
    return nullptr;
}

void inUse(const std::string& source, const std::string& target) {
    FileHandle held;
    Answer a = answer([&] {
        held.reset(
            CreateFileA(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return given(held.get());
    });
    // The last error of a successful OPEN_EXISTING is not documented.
    expect_answer("CreateFileA of a file to hold without sharing", a, TRUE, AnyError);
    expect_answer("CopyFileA onto a file held open without sharing", copy(source, target, FALSE), FALSE,
                  ERROR_SHARING_VIOLATION);
    a = answer([&] { return DeleteFileA(target.c_str()); });
    expect_answer("DeleteFileA of a file held open without sharing", a, FALSE, ERROR_SHARING_VIOLATION);
    a = answer([&] {
        return given(FileHandle(CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr))
                         .get());
    });
    expect_answer("CreateFileA to read a file held open without sharing", a, FALSE, ERROR_SHARING_VIOLATION);
    replacedAtNextStart(source, target);
    held.reset();
    ok(content(target) == "old", "the file that was in use keeps its content");
}

}  // namespace

void fileCases() {
    CreateDirectoryA(WorkFolder, nullptr);  // the folder may be there from an earlier run
    const std::string source = inFolder("new.sys"), target = inFolder("target.sys");
    // CREATE_ALWAYS says whether the file was there.
    for (DWORD error : {static_cast<DWORD>(ERROR_SUCCESS), static_cast<DWORD>(ERROR_ALREADY_EXISTS)}) {
        Answer made = answer([&] {
            return given(FileHandle(CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, nullptr))
                             .get());
        });
        expect_answer(error ? "CreateFileA CREATE_ALWAYS of a file that exists" : "CreateFileA CREATE_ALWAYS", made,
                      TRUE, error);
    }
    ok(writeFile(source, "new") && writeFile(target, "old"), "the files to copy are written");

    expect_answer("CopyFileA onto a file that exists, asked to fail then", copy(source, target, TRUE), FALSE,
                  ERROR_FILE_EXISTS);
    expect_answer("SetFileAttributesA read-only", setAttributes(target, FILE_ATTRIBUTE_READONLY), TRUE, Sentinel);
    Answer a = copy(source, target, FALSE);
    known_answer(readOnlyDifference(), "CopyFileA onto a read-only file", a, FALSE, ERROR_ACCESS_DENIED, TRUE,
                 ERROR_SUCCESS);
    if (!a.result) ok(content(target) == "old", "a refused copy leaves the read-only file as it was");
    ok(freshTarget(target, FILE_ATTRIBUTE_HIDDEN), "the target made hidden");
    a = copy(source, target, FALSE);
    known_answer("wine-copy-onto-hidden", "CopyFileA of a plain file onto a hidden file", a, FALSE,
                 ERROR_ACCESS_DENIED, TRUE, ERROR_SUCCESS);
    if (!a.result) ok(content(target) == "old", "a refused copy leaves the hidden file as it was");
    ok(freshTarget(target, FILE_ATTRIBUTE_NORMAL), "the target made plain");

    inUse(source, target);

    expect_answer("CopyFileA onto a file no longer in use", copy(source, target, FALSE), TRUE, ERROR_SUCCESS);
    ok(content(target) == "new", "the copy replaced the file");
    a = answer([&] { return GetFileAttributesA(target.c_str()); });
    expect_answer("GetFileAttributesA of the copy", a, FILE_ATTRIBUTE_ARCHIVE, Sentinel);
    for (const std::string& path : {source, target}) {
        a = answer([&] { return DeleteFileA(path.c_str()); });
        expect_answer("DeleteFileA", a, TRUE, Sentinel);
    }
}

}  // namespace conformance
