// The registry: keys and values written, read and deleted, and keys'
// security set from SDDL texts and shown as SDDL.
#include "prefixtool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The room for a key's or a value's name, for a value's data in a dump, and
// for a text value read by regString.
const DWORD NameSize = 512;
const DWORD DumpDataSize = 4096;
const DWORD TextValueSize = 1024;

LONG createKey(HKEY root, const std::string& sub, RegistryKey& key) {
    HKEY created;
    LONG rc = RegCreateKeyExA(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr);
    if (rc == ERROR_SUCCESS) key.reset(created);
    return rc;
}

std::string typeName(DWORD type) {
    switch (type) {
        case REG_SZ: return "REG_SZ";
        case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
        case REG_DWORD: return "REG_DWORD";
        case REG_MULTI_SZ: return "REG_MULTI_SZ";
        case REG_BINARY: return "REG_BINARY";
        default: return "type" + std::to_string(type);
    }
}

// A key's DACL in SDDL, "?" when it cannot be read.
std::string keyDacl(HKEY key) {
    DWORD size = 0;
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size) != ERROR_INSUFFICIENT_BUFFER) return "?";
    std::vector<char> sd(size);
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd.data(), &size) != ERROR_SUCCESS) return "?";
    char* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(sd.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr))
        return "?";
    LocalBlock owner(text);
    return text;
}

// A value's data as a dump shows it.
std::string shownData(DWORD type, const BYTE* data, DWORD size) {
    if (type == REG_DWORD && size == 4) {
        DWORD v;
        std::memcpy(&v, data, sizeof v);
        return std::to_string(v);
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ) return reinterpret_cast<const char*>(data);
    if (type == REG_MULTI_SZ) return joinMultiSz(std::string(reinterpret_cast<const char*>(data), size));
    std::string shown;
    for (DWORD b = 0; b < size; ++b) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", data[b]);
        shown += hex;
    }
    return shown;
}

// Prints a key with its DACL, its values, and every key below it.
void dumpKey(HKEY key, const std::string& name) {
    std::printf("key %s %s\n", name.c_str(), keyDacl(key).c_str());
    char valueName[NameSize];
    BYTE data[DumpDataSize];
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = sizeof valueName, dataSize = sizeof data - 2, type = 0;
        if (RegEnumValueA(key, i, valueName, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) break;
        data[dataSize] = data[dataSize + 1] = 0;
        std::printf("value %s\\%s %s %s\n", name.c_str(), valueName, typeName(type).c_str(),
                    shownData(type, data, dataSize).c_str());
    }
    for (const std::string& c : subkeyNames(key)) {
        RegistryKey sub;
        if (openRegistryKey(key, c.c_str(), KEY_READ, sub) != ERROR_SUCCESS) {
            std::printf("key %s\\%s unreadable %lu\n", name.c_str(), c.c_str(),
                        static_cast<unsigned long>(GetLastError()));
            continue;
        }
        dumpKey(sub.get(), name + "\\" + c);
    }
}

// A security descriptor made from an SDDL text; false (the last error set)
// when the text is not one.
bool toDescriptor(const char* sddl, LocalBlock& descriptor) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr)) return false;
    descriptor.reset(sd);
    return true;
}

// Sets a key's DACL from a descriptor, and with withOwner its owner where
// the descriptor names one, as an administrator may set them.
LONG setKeySecurity(HKEY parent, const std::string& name, PSECURITY_DESCRIPTOR sd, bool withOwner) {
    SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION;
    REGSAM access = WRITE_DAC;
    if (withOwner) {
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        if (GetSecurityDescriptorOwner(sd, &owner, &defaulted) && owner) parts |= OWNER_SECURITY_INFORMATION;
        access |= WRITE_OWNER;
    }
    RegistryKey key;
    LONG rc = openRegistryKey(parent, name.c_str(), access, key);
    if (rc == ERROR_SUCCESS) rc = RegSetKeySecurity(key.get(), parts, sd);
    return rc;
}

// Replaces a key's DACL with the one of an SDDL text.
LONG setKeyDacl(HKEY parent, const std::string& name, const char* sddl) {
    LocalBlock sd;
    if (!toDescriptor(sddl, sd)) return static_cast<LONG>(GetLastError());
    return setKeySecurity(parent, name, sd.get(), false);
}

}  // namespace

bool splitKey(const std::string& path, HKEY& root, std::string& sub) {
    size_t slash = path.find('\\');
    std::string head = path.substr(0, slash);
    sub = slash == std::string::npos ? std::string() : path.substr(slash + 1);
    if (head == "HKLM" || head == "HKEY_LOCAL_MACHINE") root = HKEY_LOCAL_MACHINE;
    else if (head == "HKCU" || head == "HKEY_CURRENT_USER") root = HKEY_CURRENT_USER;
    else return false;
    return true;
}

std::string regString(HKEY key, const char* name) {
    char buffer[TextValueSize];
    DWORD type = 0, size = sizeof buffer - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return std::string();
    buffer[size] = '\0';
    return buffer;
}

std::vector<std::string> subkeyNames(HKEY key) {
    std::vector<std::string> names;
    char name[NameSize];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.push_back(name);
    }
    return names;
}

LONG deleteTree(HKEY parent, const std::string& name) {
    RegistryKey key;
    LONG rc = openRegistryKey(parent, name.c_str(), KEY_ALL_ACCESS, key);
    if (rc == ERROR_ACCESS_DENIED) {
        rc = setKeyDacl(parent, name, "D:(A;;KA;;;BA)");
        if (rc == ERROR_SUCCESS) rc = openRegistryKey(parent, name.c_str(), KEY_ALL_ACCESS, key);
    }
    if (rc != ERROR_SUCCESS) return rc;
    for (const std::string& c : subkeyNames(key.get())) {
        rc = deleteTree(key.get(), c);
        if (rc != ERROR_SUCCESS) break;
    }
    key.reset();
    return rc == ERROR_SUCCESS ? RegDeleteKeyA(parent, name.c_str()) : rc;
}

// reg-dump <key> [word...]: the key, its values and subkeys, each key with
// its DACL; "missing" when the key does not exist. With words, only the
// subkeys whose names contain one of them (letter case not counting), each
// with everything below it.
int regDump(const Args& a) {
    HKEY root;
    std::string sub;
    if (a.empty() || !splitKey(a[0], root, sub)) return fail("usage");
    RegistryKey key;
    LONG rc = openRegistryKey(root, sub.c_str(), KEY_READ, key);
    if (rc != ERROR_SUCCESS) return registryResult(rc, "RegOpenKeyExA", true);
    Args words(a.begin() + 1, a.end());
    if (words.empty()) {
        dumpKey(key.get(), a[0]);
        return 0;
    }
    for (const std::string& c : subkeyNames(key.get())) {
        if (!containsAny(c, words)) continue;
        RegistryKey child;
        if (openRegistryKey(key.get(), c.c_str(), KEY_READ, child) != ERROR_SUCCESS) {
            std::printf("key %s\\%s unreadable\n", a[0].c_str(), c.c_str());
            continue;
        }
        dumpKey(child.get(), a[0] + "\\" + c);
    }
    return 0;
}

// reg-set KEY NAME TYPE DATA...: creates the key when needed and sets the
// value (a name "@" means the default value): REG_DWORD (a number), REG_SZ
// and REG_EXPAND_SZ (a text), REG_MULTI_SZ (one word an entry), or any other
// type by its number with the data in hex.
int regSet(const Args& a) {
    HKEY root;
    std::string sub;
    if (a.size() < 3 || (a.size() != 4 && a[2] != "REG_MULTI_SZ") || !splitKey(a[0], root, sub)) return fail("usage");
    std::string data;
    DWORD type = REG_SZ;
    if (a[2] == "REG_DWORD") {
        DWORD v = std::strtoul(a[3].c_str(), nullptr, 0);
        type = REG_DWORD;
        data.assign(reinterpret_cast<const char*>(&v), sizeof v);
    } else if (a[2] == "REG_MULTI_SZ") {
        type = REG_MULTI_SZ;
        data = multiSz(Args(a.begin() + 3, a.end()));
    } else if (a[2] == "REG_SZ" || a[2] == "REG_EXPAND_SZ") {
        type = a[2] == "REG_EXPAND_SZ" ? REG_EXPAND_SZ : REG_SZ;
        data.assign(a[3].c_str(), a[3].size() + 1);
    } else {
        type = std::strtoul(a[2].c_str(), nullptr, 0);
        for (size_t i = 0; i + 1 < a[3].size(); i += 2)
            data += static_cast<char>(std::strtoul(a[3].substr(i, 2).c_str(), nullptr, 16));
    }
    RegistryKey key;
    LONG rc = createKey(root, sub, key);
    if (rc != ERROR_SUCCESS) return registryResult(rc, "RegCreateKeyExA");
    const char* name = a[1] == "@" ? nullptr : a[1].c_str();
    rc = RegSetValueExA(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                        static_cast<DWORD>(data.size()));
    key.reset();
    return registryResult(rc, "RegSetValueExA");
}

// reg-create <key>
int regCreate(const Args& a) {
    HKEY root;
    std::string sub;
    if (a.size() != 1 || !splitKey(a[0], root, sub)) return fail("usage");
    RegistryKey key;
    return registryResult(createKey(root, sub, key), "RegCreateKeyExA");
}

// reg-dacl <key> <SDDL>: replaces the key's DACL, e.g. "D:P(A;;KR;;;SY)".
int regDacl(const Args& a) {
    HKEY root;
    std::string sub;
    if (a.size() != 2 || !splitKey(a[0], root, sub)) return fail("usage");
    return registryResult(setKeyDacl(root, sub, a[1].c_str()), "RegSetKeySecurity");
}

// reg-security KEY SDDL: the DACL of the descriptor, and its owner where it
// names one, as an administrator may set them.
int regSecurity(const Args& a) {
    HKEY root;
    std::string sub;
    if (a.size() != 2 || !splitKey(a[0], root, sub)) return fail("usage");
    LocalBlock sd;
    if (!toDescriptor(a[1].c_str(), sd)) return fail("ConvertStringSecurityDescriptorToSecurityDescriptorA");
    return registryResult(setKeySecurity(root, sub, sd.get(), true), "RegSetKeySecurity");
}

// reg-delete <key>: deletes the key and everything below it; "missing" when
// there is no such key.
int regDelete(const Args& a) {
    HKEY root;
    std::string sub;
    if (a.size() != 1 || !splitKey(a[0], root, sub) || sub.empty()) return fail("usage");
    return registryResult(deleteTree(root, sub), "deleteTree", true);
}

// reg-delete-value <key> <value name>; "missing" when there is no such value.
int regDeleteValue(const Args& a) {
    HKEY root;
    std::string sub;
    if (a.size() != 2 || !splitKey(a[0], root, sub)) return fail("usage");
    RegistryKey key;
    LONG rc = openRegistryKey(root, sub.c_str(), KEY_SET_VALUE, key);
    if (rc == ERROR_SUCCESS) rc = RegDeleteValueA(key.get(), a[1].c_str());
    key.reset();
    return registryResult(rc, "RegDeleteValueA", true);
}
