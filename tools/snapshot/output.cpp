// The description: a winsim machine description of what was captured, one
// entry a line.
#include <cstdio>

#include "platform/win_files.h"
#include "snapshot.h"

namespace snapshot {

namespace {

const DWORD WriteChunk = 1u << 20;

void appendList(Text& out, const char* name, const Text& entries, const char* open, const char* close) {
    appendFormat(out, ",\n \"%s\": %s", name, open);
    if (entries.size) {
        append(out, entries.data, entries.size);
        appendText(out, "\n ");
    }
    appendText(out, close);
}

}  // namespace

bool incomplete(const Capture& c) {
    return c.devices.failed || c.registry.failed || c.directories.failed || c.files.failed || c.attributes.failed ||
           c.copies.failed || c.notes.failed;
}

void writeDescriptionText(const Capture& capture, Text& out) {
    appendText(out, "{\n \"systemDirectory\": ");
    appendJsonText(out, capture.systemDirectory);
    appendFormat(out, ",\n \"defaultLangId\": \"0x%04X\"", capture.defaultLangId);
    appendList(out, "devices", capture.devices, "[", "]");
    appendList(out, "registry", capture.registry, "[", "]");
    appendList(out, "directories", capture.directories, "[", "]");
    appendList(out, "files", capture.files, "{", "}");
    appendList(out, "fileAttributes", capture.attributes, "{", "}");
    appendText(out, "\n}\n");
}

bool writeDescription(const char* path, const Text& description, Failure& failure) {
    if (description.failed) return fail(failure, ERROR_NOT_ENOUGH_MEMORY, "out of memory");
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return fail(failure, GetLastError(), "cannot make %s", path);
    for (size_t done = 0; done < description.size;) {
        size_t left = description.size - done;
        DWORD chunk = left < WriteChunk ? static_cast<DWORD>(left) : WriteChunk, written = 0;
        if (!WriteFile(file, description.data + done, chunk, &written, nullptr) || written != chunk) {
            fail(failure, GetLastError(), "cannot write %s", path);
            CloseHandle(file);
            DeleteFileA(path);  // a description is whole or absent
            return false;
        }
        done += written;
    }
    CloseHandle(file);
    return true;
}

}  // namespace snapshot
