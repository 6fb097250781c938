// The snapshot of a machine: everything the installer reads or writes there,
// captured without changing anything, as a winsim machine description
// (docs/winsim.md) with copies of the product family's files beside it.
//
// The same source is the Windows program (MinGW-w64: i686 on the media,
// x86_64 for Wine) and a program of the simulated machine on Linux: it
// reaches the platform through src/platform/ as the installer does. Like the
// installer, it uses the C library and no part of the C++ library that
// throws, so that the Windows program needs nothing but system DLLs that
// Windows 2000 has.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "platform/win_base.h"

namespace snapshot {

const size_t PathSize = 520;      // Windows paths and their copies
const size_t KeyPathSize = 1024;  // registry paths below HKLM
const size_t MessageSize = 640;   // a failure or a note

// What could not be read or written, and the Windows error: the one way in
// which every step of the capture reports a failure.
struct Failure {
    char what[MessageSize] = "";
    DWORD error = 0;
};
// Fills the failure; always false, for `return fail(...)`.
bool fail(Failure& failure, DWORD error, const char* format, ...);
bool outOfMemory(Failure& failure);

// A text that grows as it is written (the description, lists of paths).
// Its appends cannot each report: a failed allocation marks it, writing on
// goes nowhere, and whole() turns the mark into the capture's failure.
struct Text {
    char* data = nullptr;
    size_t size = 0;
    size_t room = 0;
    bool failed = false;
    Text() = default;
    ~Text();
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
};
// False, with the failure filled, when the text ran out of memory.
bool whole(const Text& t, Failure& failure);
void append(Text& t, const char* bytes, size_t n);
void appendText(Text& t, const char* s);
void appendFormat(Text& t, const char* format, ...);
// The bytes as a JSON text in quotes: printable ASCII as it is, the rest
// escaped, bytes above 127 as the characters U+0080 to U+00FF.
void appendJsonString(Text& t, const char* bytes, size_t n);
void appendJsonText(Text& t, const char* s);
void appendHex(Text& t, const unsigned char* bytes, size_t n);
// Starts the next entry of a JSON list written one entry a line.
void nextEntry(Text& t, bool& first, const char* indent);
// NUL-separated lists: an entry added, and the entry at an offset.
void addEntry(Text& list, const char* s);
const char* entryAt(const Text& list, size_t& offset);

// Room for bytes read from the platform, made larger on demand.
struct Buffer {
    unsigned char* data = nullptr;
    DWORD size = 0;
    Buffer() = default;
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    bool grow(DWORD n, Failure& failure);  // at least n bytes
};

// Paths to visit in the order they were added (a folder's or a key's
// children after it). Each comes out as a copy: adding moves the list.
struct Queue {
    Text items;
    size_t next = 0;
    void push(const char* path) { addEntry(items, path); }
    bool pop(char* out, size_t size);
};

// Printable ASCII, tabs and line ends.
bool plainText(const char* bytes, size_t n);
// Whether the bytes are a plain REG_MULTI_SZ: plain texts each ended by a
// NUL, then one more NUL.
bool plainMultiSz(const unsigned char* bytes, size_t n);

struct Capture {
    char systemDirectory[PathSize] = "";
    WORD defaultLangId = 0;
    Text devices;      // entries of "devices"
    Text registry;     // entries of "registry"
    Text directories;  // entries of "directories"
    Text files;        // entries of "files"
    Text attributes;   // entries of "fileAttributes"
    Text inUse;        // entries of "filesInUse"
    Text copies;       // the Windows paths of the files to copy
    Text notes;        // lines for the administrator
    bool firstDevice = true, firstKey = true, firstDirectory = true, firstFile = true, firstAttributes = true,
         firstInUse = true;
    size_t deviceCount = 0, boundDevices = 0, serviceKeys = 0, runOnceValues = 0, fileCount = 0, directoryCount = 0;
};

// False, with the failure filled, when a text of the capture ran out of
// memory.
bool captureWhole(const Capture& capture, Failure& failure);

// The system directory and the default language.
bool captureSystem(Capture& capture, Failure& failure);
// Every present device: instance id, class, class GUID, hardware and
// compatible ids, HID attributes, and its driver's INF and section (with
// the registry values that name them).
bool captureDevices(Capture& capture, Failure& failure);
// The services key's own security, the service keys of the product family
// and mpsetup (each with its whole tree: values, owner, DACL), RunOnce.
bool captureRegistry(Capture& capture, Failure& failure);
// The product family's files in the system directory and its drivers
// folder, and the staging tree, each with whether it is in use (held by a
// program or driver that runs, so that it cannot be written).
bool listFiles(Capture& capture, Failure& failure);
// The file replacements and deletions that wait for the next start (the
// session manager's PendingFileRenameOperations), and the new files of
// those that replace the family's files.
bool capturePendingReplacements(Capture& capture, Failure& failure);
// A registry value as a description gives it: a text, a number, a list of
// texts, or the bytes as they are.
void appendValue(Text& out, DWORD type, const unsigned char* data, DWORD size);

// Output: the folder (made when missing; it must be empty), the copies of
// the files, and the description, written last so that its presence means
// the capture is whole.
const char* const DescriptionName = "machine.json";
bool prepareOutput(const char* folder, Failure& failure);
bool copyFiles(const char* folder, const Capture& capture, Failure& failure);
void writeDescriptionText(const Capture& capture, Text& out);
bool writeDescription(const char* path, const Text& description, Failure& failure);

}  // namespace snapshot
