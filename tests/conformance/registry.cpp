// The registry: keys made, opened and deleted (a key with subkeys, a key
// whose DACL refuses its deletion), and a key's security read and written
// through handles with and without the rights each needs. The registry
// functions answer with their result and leave the last error alone.
#include <cstring>

#include "conformance.h"

namespace conformance {

namespace {

const char* const TestKey = "SOFTWARE\\KorpaConformance";

// The room for a DACL of one entry and for a key's descriptor.
const DWORD AclSize = 256;
const DWORD DescriptorSize = 1024;

LONG createKey(HKEY parent, const char* name, REGSAM access, RegistryKey& key, DWORD* disposition = nullptr) {
    HKEY created = nullptr;
    LONG rc =
        RegCreateKeyExA(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &created, disposition);
    if (rc == ERROR_SUCCESS) key.reset(created);
    return rc;
}

// A DACL that gives the Administrators `mask` and nobody anything else,
// in an absolute descriptor.
struct OneEntryDacl {
    DWORD acl[AclSize / sizeof(DWORD)];
    SECURITY_DESCRIPTOR descriptor;
    bool made = false;

    explicit OneEntryDacl(DWORD mask) {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID sid = nullptr;
        if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                      &sid))
            return;
        OwnedSid administrators(sid);
        PACL list = reinterpret_cast<PACL>(acl);
        made = InitializeAcl(list, sizeof acl, ACL_REVISION) &&
               AddAccessAllowedAce(list, ACL_REVISION, mask, administrators.get()) &&
               InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
               SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE);
    }
};

// The mask of the only entry of a self-relative descriptor's DACL, or 0.
DWORD onlyEntryMask(BYTE* descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    LPVOID entry = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl ||
        dacl->AceCount != 1 || !GetAce(dacl, 0, &entry))
        return 0;
    return static_cast<ACCESS_ALLOWED_ACE*>(entry)->Mask;
}

// The key's security read and written; whether the key is still there.
bool keySecurity(HKEY root, HKEY child) {
    OneEntryDacl readOnly(KEY_READ);
    ok(readOnly.made, "a DACL that lets the Administrators only read");
    Answer a = answer([&] { return RegSetKeySecurity(child, DACL_SECURITY_INFORMATION, &readOnly.descriptor); });
    expect_answer("RegSetKeySecurity through a handle with WRITE_DAC", a, ERROR_SUCCESS, Sentinel);
    a = answer([&] { return RegSetKeySecurity(child, DACL_SECURITY_INFORMATION, nullptr); });
    expect_answer("RegSetKeySecurity without a descriptor", a, ERROR_INVALID_PARAMETER, Sentinel);

    // The descriptor read back: its size asked for, a buffer one byte
    // short, then the buffer of the size given.
    DWORD size = 0;
    a = answer([&] { return RegGetKeySecurity(child, DACL_SECURITY_INFORMATION, nullptr, &size); });
    expect_answer("RegGetKeySecurity without a buffer", a, ERROR_INSUFFICIENT_BUFFER, Sentinel);
    DWORD needed = size;
    ok(needed > SECURITY_DESCRIPTOR_MIN_LENGTH && needed <= DescriptorSize,
       "RegGetKeySecurity gives the size of the descriptor");
    BYTE descriptor[DescriptorSize];
    std::memset(descriptor, 0, sizeof descriptor);
    size = needed - 1;
    a = answer([&] { return RegGetKeySecurity(child, DACL_SECURITY_INFORMATION, descriptor, &size); });
    expect_answer("RegGetKeySecurity with a buffer one byte short", a, ERROR_INSUFFICIENT_BUFFER, Sentinel);
    ok(size == needed, "RegGetKeySecurity with a short buffer gives the size needed");
    size = needed;
    a = answer([&] { return RegGetKeySecurity(child, DACL_SECURITY_INFORMATION, descriptor, &size); });
    expect_answer("RegGetKeySecurity with the size it asked for", a, ERROR_SUCCESS, Sentinel);
    ok(size == needed, "RegGetKeySecurity gives the size of what it wrote");
    ok(onlyEntryMask(descriptor) == KEY_READ, "the DACL read back is the one written");

    // Without the rights on the handle.
    RegistryKey valuesOnly;
    a = answer([&] { return openRegistryKey(root, "Child", KEY_QUERY_VALUE, valuesOnly); });
    expect_answer("RegOpenKeyExA with a right the DACL gives", a, ERROR_SUCCESS, Sentinel);
    if (valuesOnly) {
        size = sizeof descriptor;
        a = answer([&] { return RegGetKeySecurity(valuesOnly.get(), DACL_SECURITY_INFORMATION, descriptor, &size); });
        expect_answer("RegGetKeySecurity through a handle without READ_CONTROL", a, ERROR_ACCESS_DENIED, Sentinel);
        a = answer(
            [&] { return RegSetKeySecurity(valuesOnly.get(), DACL_SECURITY_INFORMATION, &readOnly.descriptor); });
        expect_answer("RegSetKeySecurity through a handle without WRITE_DAC", a, ERROR_ACCESS_DENIED, Sentinel);
    }
    RegistryKey writer;
    a = answer([&] { return openRegistryKey(root, "Child", KEY_SET_VALUE, writer); });
    expect_answer("RegOpenKeyExA with a right the DACL refuses", a, ERROR_ACCESS_DENIED, Sentinel);

    // The owner may always change the DACL (and, under Wine, delete the key).
    RegistryKey owner;
    a = answer([&] { return openRegistryKey(root, "Child", WRITE_DAC, owner); });
    expect_answer("RegOpenKeyExA with WRITE_DAC by the key's owner", a, ERROR_SUCCESS, Sentinel);
    a = answer([&] { return RegDeleteKeyA(root, "Child"); });
    known_answer("wine-owner-standard-rights", "RegDeleteKeyA of a key whose DACL refuses DELETE", a,
                 ERROR_ACCESS_DENIED, Sentinel, ERROR_SUCCESS, Sentinel);
    if (a.result == ERROR_SUCCESS) return false;
    OneEntryDacl full(KEY_ALL_ACCESS);
    if (owner) {
        a = answer([&] { return RegSetKeySecurity(owner.get(), DACL_SECURITY_INFORMATION, &full.descriptor); });
        expect_answer("RegSetKeySecurity by the key's owner", a, ERROR_SUCCESS, Sentinel);
    }
    return true;
}

}  // namespace

void registryCases() {
    RegistryKey root;
    DWORD disposition = 0;
    Answer a = answer([&] { return createKey(HKEY_LOCAL_MACHINE, TestKey, KEY_ALL_ACCESS, root, &disposition); });
    expect_answer("RegCreateKeyExA of a new key", a, ERROR_SUCCESS, Sentinel);
    ok(disposition == REG_CREATED_NEW_KEY, "RegCreateKeyExA says that the key is new");
    if (!root) return;
    RegistryKey again;
    a = answer([&] { return createKey(HKEY_LOCAL_MACHINE, TestKey, KEY_READ, again, &disposition); });
    expect_answer("RegCreateKeyExA of a key that exists", a, ERROR_SUCCESS, Sentinel);
    ok(disposition == REG_OPENED_EXISTING_KEY, "RegCreateKeyExA says that the key was opened");

    RegistryKey child;
    a = answer([&] { return createKey(root.get(), "Child", KEY_ALL_ACCESS, child); });
    expect_answer("RegCreateKeyExA of a subkey", a, ERROR_SUCCESS, Sentinel);
    a = answer([&] { return RegDeleteKeyA(HKEY_LOCAL_MACHINE, TestKey); });
    expect_answer("RegDeleteKeyA of a key with a subkey", a, ERROR_ACCESS_DENIED, Sentinel);
    a = answer([&] { return RegDeleteKeyA(root.get(), "Missing"); });
    expect_answer("RegDeleteKeyA of a key that does not exist", a, ERROR_FILE_NOT_FOUND, Sentinel);
    if (child && keySecurity(root.get(), child.get())) {
        a = answer([&] { return RegDeleteKeyA(root.get(), "Child"); });
        expect_answer("RegDeleteKeyA of a key without subkeys", a, ERROR_SUCCESS, Sentinel);
    }
    child.reset();
    a = answer([&] { return RegDeleteKeyA(HKEY_LOCAL_MACHINE, TestKey); });
    expect_answer("RegDeleteKeyA of the key once its subkey is gone", a, ERROR_SUCCESS, Sentinel);
    DWORD type = 0, size = 0;
    a = answer([&] { return RegQueryValueExA(root.get(), "Value", nullptr, &type, nullptr, &size); });
    expect_answer("RegQueryValueExA through the handle of a deleted key", a, ERROR_KEY_DELETED, Sentinel);
}

}  // namespace conformance
