// Reading a security descriptor of the simulated machine: its owner, its
// DACL, the DACL's entries and a SID as text, as Windows does.
#include <cstring>

#include "sim/core/runtime.h"
#include "sim/security/layout.h"
#include "sim/core/win_codes.h"

using namespace sim;

namespace {

const WORD AclCountOffset = 4;

// The descriptor's parts, or the last error of a descriptor Windows refuses.
bool partsOf(PSECURITY_DESCRIPTOR descriptor, WORD& control, const BYTE*& owner, const BYTE*& dacl) {
    if (!descriptor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!descriptorParts(descriptor, control, owner, dacl)) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return false;
    }
    return true;
}

}  // namespace

BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID* owner, LPBOOL defaulted) {
    Call c("GetSecurityDescriptorOwner", {arg(static_cast<const void*>(descriptor))});
    if (c.injected()) return FALSE;
    WORD control = 0;
    const BYTE *ownerSid = nullptr, *dacl = nullptr;
    if (!owner || !defaulted) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!partsOf(descriptor, control, ownerSid, dacl)) return FALSE;
    *owner = const_cast<BYTE*>(ownerSid);
    *defaulted = (control & SE_OWNER_DEFAULTED) ? TRUE : FALSE;
    return TRUE;
}

BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl, LPBOOL defaulted) {
    Call c("GetSecurityDescriptorDacl", {arg(static_cast<const void*>(descriptor))});
    if (c.injected()) return FALSE;
    WORD control = 0;
    const BYTE *owner = nullptr, *daclBytes = nullptr;
    if (!present || !dacl || !defaulted) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!partsOf(descriptor, control, owner, daclBytes)) return FALSE;
    *present = (control & SE_DACL_PRESENT) ? TRUE : FALSE;
    // Without a DACL the other two are left as they were.
    if (*present) {
        *dacl = reinterpret_cast<PACL>(const_cast<BYTE*>(daclBytes));
        *defaulted = (control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
    }
    return TRUE;
}

BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID* ace) {
    Call c("GetAce", {arg(static_cast<const void*>(acl)), arg(index)});
    if (c.injected()) return FALSE;
    if (!acl || !ace || !aclValid(acl)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BYTE* p = reinterpret_cast<BYTE*>(acl);
    WORD count;
    std::memcpy(&count, p + AclCountOffset, sizeof count);
    if (index >= count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD pos = sizeof(ACL);
    for (DWORD i = 0; i < index; ++i) {
        WORD aceSize;
        std::memcpy(&aceSize, p + pos + 2, sizeof aceSize);
        pos += aceSize;
    }
    *ace = p + pos;
    return TRUE;
}

BOOL WINAPI ConvertSidToStringSidA(PSID sid, LPSTR* text) {
    Call c("ConvertSidToStringSidA", {arg(static_cast<const void*>(sid))});
    if (c.injected()) return FALSE;
    if (!sid || !text) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!sidLengthOf(sid)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    std::string t = sidTextOf(sid);
    char* block = static_cast<char*>(heapAlloc(t.size() + 1, false));
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::memcpy(block, t.c_str(), t.size() + 1);
    *text = block;
    return TRUE;
}
