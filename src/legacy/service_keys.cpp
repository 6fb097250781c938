// Deletion of earlier services' registry keys below the services root, each
// after giving the local Administrators full control of it.
#include "legacy/service_keys.h"

#include <cstring>

namespace {

const char ServicesRoot[] = "SYSTEM\\CurrentControlSet\\Services\\";

// Length of every name buffer of the enumerations.
const DWORD KeyNameSize = 512;

// RegEnumKeyExA results that count as an entry. On ERROR_MORE_DATA the
// buffer keeps what it held before; the buffers start out empty so that
// this is never undefined.
bool isEntry(LONG rc) { return rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA; }

LONG enumerateKey(HKEY key, DWORD index, char* name) {
    DWORD length = KeyNameSize;
    return RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
}

// Deletes the children of an open child key, then the child itself through
// the service key. Returns 1 when the child was deleted.
int deleteChildKey(HKEY serviceKey, const char* childName, char* grandchildName) {
    HKEY child;
    if (RegOpenKeyExA(serviceKey, childName, 0, KEY_ALL_ACCESS, &child) != ERROR_SUCCESS) return 0;
    DWORD index = 0;
    while (isEntry(enumerateKey(child, index, grandchildName))) {
        // A deleted entry lets the ones behind it move up: read the same
        // index again. An empty name (nothing read yet) would name the child
        // itself.
        if (!grandchildName[0] || RegDeleteKeyA(child, grandchildName) != ERROR_SUCCESS) ++index;
    }
    int deleted = RegDeleteKeyA(serviceKey, childName) == ERROR_SUCCESS;
    RegCloseKey(child);
    return deleted;
}

}  // namespace

int grantAdministratorsFullControl(HKEY parent, const char* keyName) {
    HKEY key;
    if (RegOpenKeyExA(parent, keyName, 0, READ_CONTROL, &key) != ERROR_SUCCESS) return 1;

    // Reading the current descriptor only proves that the key's security
    // can be read; its content is not used.
    DWORD size = 0;
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size) != ERROR_INSUFFICIENT_BUFFER) {
        RegCloseKey(key);
        return 1;
    }
    HANDLE heap = GetProcessHeap();
    PSECURITY_DESCRIPTOR current = heap ? HeapAlloc(heap, 0, size) : nullptr;
    if (!current) {
        RegCloseKey(key);
        return 1;
    }
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, current, &size) != ERROR_SUCCESS) {
        HeapFree(heap, 0, current);
        RegCloseKey(key);
        return 1;
    }
    RegCloseKey(key);

    if (RegOpenKeyExA(parent, keyName, 0, WRITE_DAC, &key) != ERROR_SUCCESS) {
        HeapFree(heap, 0, current);
        return 1;
    }

    int outcome = 1;
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    PACL acl = nullptr;
    SECURITY_DESCRIPTOR descriptor;
    if (AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                 0, 0, 0, 0, &administrators)) {
        // The ACL header and one access-allowed entry whose SidStart field
        // is the first DWORD of the SID.
        DWORD aclSize = static_cast<DWORD>(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) +
                        GetLengthSid(administrators);
        acl = static_cast<PACL>(HeapAlloc(heap, 0, aclSize));
        if (acl && InitializeAcl(acl, aclSize, ACL_REVISION) &&
            AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, administrators) &&
            InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
            SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
            RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS)
            outcome = 0;
    }
    RegCloseKey(key);
    HeapFree(heap, 0, current);
    if (acl) HeapFree(heap, 0, acl);
    if (administrators) FreeSid(administrators);
    return outcome;
}

KeyTreeOutcome deleteServiceKeyTree(HKEY servicesRoot, const char* serviceKeyName) {
    HKEY serviceKey;
    if (RegOpenKeyExA(servicesRoot, serviceKeyName, 0, KEY_ALL_ACCESS, &serviceKey) != ERROR_SUCCESS)
        return KeyNotOpened;

    char childName[KeyNameSize] = "";
    char grandchildName[KeyNameSize] = "";
    DWORD index = 0;
    while (isEntry(enumerateKey(serviceKey, index, childName))) {
        if (!childName[0] || !deleteChildKey(serviceKey, childName, grandchildName)) ++index;
    }

    KeyTreeOutcome outcome = KeyOpenedNotDeleted;
    if (grantAdministratorsFullControl(servicesRoot, serviceKeyName) == 0 &&
        RegDeleteKeyA(servicesRoot, serviceKeyName) == ERROR_SUCCESS)
        outcome = KeyDeleted;
    RegCloseKey(serviceKey);
    return outcome;
}

int removeRemoteSupportServiceKeys() {
    int deleted = 0;
    char serviceName[KeyNameSize] = "";
    for (int pass = 0; pass < 2 && !deleted; ++pass) {
        HKEY root;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServicesRoot, 0, KEY_READ, &root) != ERROR_SUCCESS) continue;
        DWORD index = 0;
        while (isEntry(enumerateKey(root, index, serviceName))) {
            if (std::strstr(serviceName, "qrvmprem")) {
                // Only the first matching key that opens is handled.
                KeyTreeOutcome outcome = deleteServiceKeyTree(root, serviceName);
                if (outcome == KeyDeleted) deleted = 1;
                if (outcome != KeyNotOpened) break;
            }
            ++index;
        }
        RegCloseKey(root);
    }
    return deleted;
}

int removeRestartFeatureServiceKeys() {
    int serviceDeleted = 0;
    int extensionDeleted = 0;
    char serviceName[KeyNameSize] = "";
    for (int pass = 0; pass < 2 && !(serviceDeleted && extensionDeleted); ++pass) {
        HKEY root;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServicesRoot, 0, KEY_READ, &root) != ERROR_SUCCESS) continue;
        DWORD index = 0;
        while (isEntry(enumerateKey(root, index, serviceName))) {
            int deletedHere = 0;
            if (std::strstr(serviceName, "qrvrvosv") && deleteServiceKeyTree(root, serviceName) == KeyDeleted) {
                serviceDeleted = 1;
                deletedHere = 1;
            }
            if (std::strstr(serviceName, "qrvrvoex") && deleteServiceKeyTree(root, serviceName) == KeyDeleted) {
                extensionDeleted = 1;
                deletedHere = 1;
            }
            if (!deletedHere) ++index;
        }
        RegCloseKey(root);
    }
    return serviceDeleted || extensionDeleted;
}
