// Registry: the security of the services key, the service keys of the
// product family and of the second phase (each key of their trees with its
// values, owner and DACL), and the RunOnce key of the logon.
#include <cstdio>
#include <cstring>

#include "platform/owned.h"
#include "platform/win_files.h"
#include "platform/win_registry.h"
#include "snapshot.h"

namespace snapshot {

namespace {

const char* const ServicesKey = "SYSTEM\\CurrentControlSet\\Services";
const char* const RunOnceKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// Service keys whose names hold one of these, in any letter case: the
// family's drivers and programs, its earlier software, the second phase.
const char* const FamilyFragments[] = {"qrv", "mpsetup"};
const DWORD KeyNameSize = 256;      // key names have at most 255 characters
const DWORD ValueNameSize = 16384;  // value names at most 16383
const DWORD ValueStartSize = 4096;  // larger values are read again
const char* const ValueTypes[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                                  "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST",
                                  "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};

bool isFamilyService(const char* name) {
    char lower[KeyPathSize];
    std::snprintf(lower, sizeof lower, "%s", name);
    _strlwr(lower);
    for (const char* fragment : FamilyFragments)
        if (std::strstr(lower, fragment)) return true;
    return false;
}

bool appendSid(Text& out, PSID sid) {
    LPSTR text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) return false;
    LocalBlock owner(text);
    appendJsonText(out, text);
    return true;
}

// Owner and DACL of a key into its entry. A key whose security cannot be
// read is described as such; an access entry a description cannot give
// fails.
bool captureSecurity(const char* path, Text& out, Capture& capture, Failure& failure) {
    RegistryKey key;
    LONG rc = openRegistryKey(HKEY_LOCAL_MACHINE, path, READ_CONTROL, key);
    const SECURITY_INFORMATION asked = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    if (rc == ERROR_SUCCESS) rc = RegGetKeySecurity(key.get(), asked, nullptr, &size);
    if (rc == ERROR_ACCESS_DENIED) {
        appendText(out, ", \"securityReadable\": false");
        appendFormat(capture.notes, "the security of HKLM\\%s cannot be read; the description says so\n", path);
        return true;
    }
    Buffer descriptor;
    if (rc != ERROR_INSUFFICIENT_BUFFER)
        return fail(failure, static_cast<DWORD>(rc), "cannot read the security of HKLM\\%s", path);
    if (!descriptor.grow(size, failure)) return false;
    rc = RegGetKeySecurity(key.get(), asked, descriptor.data, &size);
    if (rc != ERROR_SUCCESS) return fail(failure, static_cast<DWORD>(rc), "cannot read the security of HKLM\\%s", path);

    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE, present = FALSE, daclDefaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorOwner(descriptor.data, &owner, &ownerDefaulted) ||
        !GetSecurityDescriptorDacl(descriptor.data, &present, &dacl, &daclDefaulted))
        return fail(failure, GetLastError(), "cannot read the security of HKLM\\%s", path);
    if (owner) {
        appendText(out, ", \"owner\": ");
        if (!appendSid(out, owner)) return fail(failure, GetLastError(), "cannot read the owner of HKLM\\%s", path);
    }
    if (!present || !dacl) {
        appendText(out, ", \"nullDacl\": true");
        return true;
    }
    appendText(out, ", \"dacl\": [");
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return fail(failure, GetLastError(), "cannot read the DACL of HKLM\\%s", path);
        const ACE_HEADER* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE)
            return fail(failure, ERROR_INVALID_ACL,
                        "the DACL of HKLM\\%s holds an entry of type %u, which a description cannot give", path,
                        static_cast<unsigned>(header->AceType));
        // Allowed and denied entries share one layout.
        auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        appendText(out, i ? ", {\"sid\": " : "{\"sid\": ");
        if (!appendSid(out, &entry->SidStart))
            return fail(failure, GetLastError(), "cannot read the DACL of HKLM\\%s", path);
        appendFormat(out, ", \"mask\": \"0x%lX\"", static_cast<unsigned long>(entry->Mask));
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) appendText(out, ", \"deny\": true");
        if (header->AceFlags) appendFormat(out, ", \"flags\": %u", static_cast<unsigned>(header->AceFlags));
        appendText(out, "}");
    }
    appendText(out, "]");
    return true;
}


// The values of an open key, in the order the registry enumerates them.
bool captureValues(HKEY key, const char* path, Text& out, size_t& count, Failure& failure) {
    Buffer name, data;
    if (!name.grow(ValueNameSize, failure) || !data.grow(ValueStartSize, failure)) return false;
    for (DWORD index = 0;;) {
        DWORD nameSize = ValueNameSize, dataSize = data.size, type = 0;
        LONG rc = RegEnumValueA(key, index, reinterpret_cast<char*>(name.data), &nameSize, nullptr, &type, data.data,
                                &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc == ERROR_MORE_DATA && dataSize > data.size) {
            // The same index again, with room for its data.
            if (!data.grow(dataSize, failure)) return false;
            continue;
        }
        if (rc != ERROR_SUCCESS)
            return fail(failure, static_cast<DWORD>(rc), "cannot read the values of HKLM\\%s", path);
        appendText(out, index ? ", " : ", \"values\": {");
        appendJsonString(out, reinterpret_cast<char*>(name.data), nameSize);
        appendText(out, ": ");
        appendValue(out, type, data.data, dataSize);
        ++count;
        ++index;
    }
    if (count) appendText(out, "}");
    return true;
}

// The names of an open key's subkeys, each added to the list as a path.
bool addSubkeys(HKEY key, const char* path, Queue& pending, Failure& failure) {
    char name[KeyNameSize], child[KeyPathSize];
    for (DWORD index = 0;; ++index) {
        DWORD size = KeyNameSize;
        LONG rc = RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) return true;
        if (rc != ERROR_SUCCESS)
            return fail(failure, static_cast<DWORD>(rc), "cannot list the keys below HKLM\\%s", path);
        if (std::snprintf(child, sizeof child, "%s\\%s", path, name) >= static_cast<int>(sizeof child))
            return fail(failure, ERROR_FILENAME_EXCED_RANGE, "the path of a key below HKLM\\%s is too long", path);
        pending.push(child);
    }
}

// A key and every key below it, each an entry of the registry list.
bool captureTree(const char* top, Capture& capture, size_t& values, Failure& failure) {
    Queue pending;
    pending.push(top);
    char current[KeyPathSize];
    while (pending.pop(current, sizeof current)) {
        Text& out = capture.registry;
        nextEntry(out, capture.firstKey, "  ");
        char shown[KeyPathSize + 8];
        std::snprintf(shown, sizeof shown, "HKLM\\%s", current);
        appendText(out, "{\"path\": ");
        appendJsonText(out, shown);
        if (!captureSecurity(current, out, capture, failure)) return false;
        RegistryKey key;
        LONG rc = openRegistryKey(HKEY_LOCAL_MACHINE, current, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, key);
        if (rc != ERROR_SUCCESS) return fail(failure, static_cast<DWORD>(rc), "cannot open HKLM\\%s", current);
        size_t count = 0;
        if (!captureValues(key.get(), current, out, count, failure) ||
            !addSubkeys(key.get(), current, pending, failure))
            return false;
        values += count;
        appendText(out, "}");
        if (!whole(pending.items, failure)) return false;
    }
    return true;
}

}  // namespace

void appendValue(Text& out, DWORD type, const unsigned char* data, DWORD size) {
    const char* text = reinterpret_cast<const char*>(data);
    // A text with one terminator, at its end.
    bool oneText = size > 0 && std::memchr(data, 0, size) == data + size - 1 && plainText(text, size - 1);
    if (type == REG_SZ && oneText) {
        appendJsonString(out, text, size - 1);
    } else if (type == REG_EXPAND_SZ && oneText) {
        appendText(out, "{\"type\": \"REG_EXPAND_SZ\", \"data\": ");
        appendJsonString(out, text, size - 1);
        appendText(out, "}");
    } else if (type == REG_DWORD && size == 4) {
        DWORD v;
        std::memcpy(&v, data, sizeof v);
        appendFormat(out, "%lu", static_cast<unsigned long>(v));
    } else if (type == REG_MULTI_SZ && plainMultiSz(data, size)) {
        appendText(out, "{\"type\": \"REG_MULTI_SZ\", \"data\": [");
        for (DWORD pos = 0; data[pos];) {
            size_t n = std::strlen(text + pos);
            appendText(out, pos ? ", " : "");
            appendJsonString(out, text + pos, n);
            pos += static_cast<DWORD>(n) + 1;
        }
        appendText(out, "]}");
    } else {
        if (type < sizeof ValueTypes / sizeof ValueTypes[0])
            appendFormat(out, "{\"type\": \"%s\", \"hex\": ", ValueTypes[type]);
        else
            appendFormat(out, "{\"type\": %lu, \"hex\": ", static_cast<unsigned long>(type));
        appendHex(out, data, size);
        appendText(out, "}");
    }
}

bool captureRegistry(Capture& capture, Failure& failure) {
    // The services key: its own security (the installer enumerates and
    // deletes below it), then the family's service trees.
    char shown[KeyPathSize];
    std::snprintf(shown, sizeof shown, "HKLM\\%s", ServicesKey);
    nextEntry(capture.registry, capture.firstKey, "  ");
    appendText(capture.registry, "{\"path\": ");
    appendJsonText(capture.registry, shown);
    if (!captureSecurity(ServicesKey, capture.registry, capture, failure)) return false;
    appendText(capture.registry, "}");
    RegistryKey root;
    LONG rc = openRegistryKey(HKEY_LOCAL_MACHINE, ServicesKey, KEY_ENUMERATE_SUB_KEYS, root);
    if (rc != ERROR_SUCCESS) return fail(failure, static_cast<DWORD>(rc), "cannot open HKLM\\%s", ServicesKey);
    Queue services;
    if (!addSubkeys(root.get(), ServicesKey, services, failure)) return false;
    size_t values = 0;
    const size_t nameAt = std::strlen(ServicesKey) + 1;
    char path[KeyPathSize];
    while (services.pop(path, sizeof path)) {
        if (!isFamilyService(path + nameAt)) continue;
        if (!captureTree(path, capture, values, failure)) return false;
        ++capture.serviceKeys;
    }
    // RunOnce, when the machine has the key.
    RegistryKey runOnce;
    rc = openRegistryKey(HKEY_LOCAL_MACHINE, RunOnceKey, KEY_QUERY_VALUE, runOnce);
    if (rc == ERROR_FILE_NOT_FOUND) return true;
    if (rc != ERROR_SUCCESS) return fail(failure, static_cast<DWORD>(rc), "cannot open HKLM\\%s", RunOnceKey);
    return captureTree(RunOnceKey, capture, capture.runOnceValues, failure);
}

}  // namespace snapshot
