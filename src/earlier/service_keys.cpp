// Deletion of earlier services' registry keys below the services root, each
// after giving the local Administrators full control of it.
#include "earlier/service_keys.h"

#include <cstring>

#include "messages/trace.h"
#include "platform/owned.h"

namespace {

const char ServicesRoot[] = "SYSTEM\\CurrentControlSet\\Services\\";

// Length of every name buffer of the enumerations.
const DWORD KeyNameSize = 512;

// A cleanup looks through the services root twice at most: a key that the
// first pass could not delete is tried once more, and no more, so that a
// key that always stays cannot hold the run up.
const int CleanupPasses = 2;

// RegEnumKeyExA results that count as an entry. On ERROR_MORE_DATA the
// buffer keeps what it held before; the buffers start out empty so that
// this is never undefined.
bool isEntry(LONG rc) { return rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA; }

LONG enumerateKey(HKEY key, DWORD index, char* name) {
    DWORD length = KeyNameSize;
    return RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
}

// Deletes the children of an open child key, then the child itself through
// the service key. True when the child was deleted.
bool deleteChildKey(HKEY serviceKey, const char* childName, char* grandchildName) {
    RegistryKey child;
    if (openRegistryKey(serviceKey, childName, KEY_ALL_ACCESS, child) != ERROR_SUCCESS) return false;
    DWORD index = 0;
    while (isEntry(enumerateKey(child.get(), index, grandchildName))) {
        // A deleted entry lets the ones behind it move up: read the same
        // index again. An empty name (nothing read yet) would name the child
        // itself.
        if (!grandchildName[0] || RegDeleteKeyA(child.get(), grandchildName) != ERROR_SUCCESS) ++index;
    }
    return RegDeleteKeyA(serviceKey, childName) == ERROR_SUCCESS;
}

}  // namespace

Result grantAdministratorsFullControl(HKEY parent, const char* keyName) {
    // Declared in the reverse of the order of their release.
    OwnedSid administrators;
    HeapBlock acl;
    RegistryKey readKey;
    HeapBlock current;
    RegistryKey writeKey;

    LONG rc = openRegistryKey(parent, keyName, READ_CONTROL, readKey);
    if (rc != ERROR_SUCCESS) return Result::failure("RegOpenKeyExA", rc, keyName);

    // Reading the current descriptor only proves that the key's security
    // can be read; its content is not used.
    DWORD size = 0;
    rc = RegGetKeySecurity(readKey.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
    if (rc != ERROR_INSUFFICIENT_BUFFER) return Result::failure("RegGetKeySecurity", rc, keyName);
    HANDLE heap = GetProcessHeap();
    current.reset(heap, heap ? HeapAlloc(heap, 0, size) : nullptr);
    if (!current) return Result::failure("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, keyName);
    rc = RegGetKeySecurity(readKey.get(), DACL_SECURITY_INFORMATION, current.get(), &size);
    if (rc != ERROR_SUCCESS) return Result::failure("RegGetKeySecurity", rc, keyName);
    readKey.reset();

    rc = openRegistryKey(parent, keyName, WRITE_DAC, writeKey);
    if (rc != ERROR_SUCCESS) return Result::failure("RegOpenKeyExA", rc, keyName);

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    BOOL sidMade = AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                            0, 0, 0, 0, 0, 0, &sid);
    administrators.reset(sid);
    if (!sidMade) return Result::failure("AllocateAndInitializeSid", GetLastError(), keyName);

    // The ACL header and one access-allowed entry whose SidStart field is
    // the first DWORD of the SID.
    DWORD aclSize = static_cast<DWORD>(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) +
                    GetLengthSid(administrators.get());
    acl.reset(heap, HeapAlloc(heap, 0, aclSize));
    PACL list = static_cast<PACL>(acl.get());
    if (!list) return Result::failure("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, keyName);
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeAcl(list, aclSize, ACL_REVISION) ||
        !AddAccessAllowedAce(list, ACL_REVISION, KEY_ALL_ACCESS, administrators.get()) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE))
        return Result::failure("building the Administrators' DACL", GetLastError(), keyName);
    rc = RegSetKeySecurity(writeKey.get(), DACL_SECURITY_INFORMATION, &descriptor);
    if (rc != ERROR_SUCCESS) return Result::failure("RegSetKeySecurity", rc, keyName);
    return Result::success();
}

KeyTreeOutcome deleteServiceKeyTree(HKEY servicesRoot, const char* serviceKeyName) {
    RegistryKey serviceKey;
    if (openRegistryKey(servicesRoot, serviceKeyName, KEY_ALL_ACCESS, serviceKey) != ERROR_SUCCESS)
        return KeyNotOpened;

    char childName[KeyNameSize] = "";
    char grandchildName[KeyNameSize] = "";
    DWORD index = 0;
    while (isEntry(enumerateKey(serviceKey.get(), index, childName))) {
        if (!childName[0] || !deleteChildKey(serviceKey.get(), childName, grandchildName)) ++index;
    }

    // A key that stays is no failure of the run, but the trace says why.
    if (!traceFailure(grantAdministratorsFullControl(servicesRoot, serviceKeyName)).ok()) return KeyOpenedNotDeleted;
    LONG rc = RegDeleteKeyA(servicesRoot, serviceKeyName);
    if (rc != ERROR_SUCCESS) {
        traceFailure(Result::failure("RegDeleteKeyA", rc, serviceKeyName));
        return KeyOpenedNotDeleted;
    }
    return KeyDeleted;
}

bool removeRemoteSupportServiceKeys() {
    bool deleted = false;
    char serviceName[KeyNameSize] = "";
    for (int pass = 0; pass < CleanupPasses && !deleted; ++pass) {
        RegistryKey root;
        if (openRegistryKey(HKEY_LOCAL_MACHINE, ServicesRoot, KEY_READ, root) != ERROR_SUCCESS) continue;
        DWORD index = 0;
        while (isEntry(enumerateKey(root.get(), index, serviceName))) {
            if (std::strstr(serviceName, "qrvmprem")) {
                // Only the first matching key that opens is handled.
                KeyTreeOutcome outcome = deleteServiceKeyTree(root.get(), serviceName);
                if (outcome == KeyDeleted) deleted = true;
                if (outcome != KeyNotOpened) break;
            }
            ++index;
        }
    }
    return deleted;
}

bool removeRestartFeatureServiceKeys() {
    bool serviceDeleted = false;
    bool extensionDeleted = false;
    char serviceName[KeyNameSize] = "";
    for (int pass = 0; pass < CleanupPasses && !(serviceDeleted && extensionDeleted); ++pass) {
        RegistryKey root;
        if (openRegistryKey(HKEY_LOCAL_MACHINE, ServicesRoot, KEY_READ, root) != ERROR_SUCCESS) continue;
        DWORD index = 0;
        while (isEntry(enumerateKey(root.get(), index, serviceName))) {
            bool deletedHere = false;
            if (std::strstr(serviceName, "qrvrvosv") && deleteServiceKeyTree(root.get(), serviceName) == KeyDeleted) {
                serviceDeleted = true;
                deletedHere = true;
            }
            if (std::strstr(serviceName, "qrvrvoex") && deleteServiceKeyTree(root.get(), serviceName) == KeyDeleted) {
                extensionDeleted = true;
                deletedHere = true;
            }
            if (!deletedHere) ++index;
        }
    }
    return serviceDeleted || extensionDeleted;
}
