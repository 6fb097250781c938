// The description: a winsim machine description of what was captured, one
// entry a line.
#include <cstdio>
#include <initializer_list>

#include "platform/owned.h"
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

bool captureWhole(const Capture& c, Failure& failure) {
    for (const Text* t :
         {&c.devices, &c.registry, &c.directories, &c.files, &c.attributes, &c.inUse, &c.copies, &c.notes})
        if (!whole(*t, failure)) return false;
    return true;
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
    appendList(out, "filesInUse", capture.inUse, "[", "]");
    appendText(out, "\n}\n");
}

bool writeDescription(const char* path, const Text& description, Failure& failure) {
    if (!whole(description, failure)) return false;
    FileHandle file(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return fail(failure, GetLastError(), "cannot make %s", path);
    for (size_t done = 0; done < description.size;) {
        size_t left = description.size - done;
        DWORD chunk = left < WriteChunk ? static_cast<DWORD>(left) : WriteChunk, written = 0;
        if (!WriteFile(file.get(), description.data + done, chunk, &written, nullptr) || written != chunk) {
            fail(failure, GetLastError(), "cannot write %s", path);
            file.reset();
            DeleteFileA(path);  // a description is whole or absent
            return false;
        }
        done += written;
    }
    return true;
}

}  // namespace snapshot
