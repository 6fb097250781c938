// Security descriptors of the simulated machine, made absolute by the caller
// (InitializeSecurityDescriptor, SetSecurityDescriptorDacl) and read, in
// either form, for their owner and DACL, as Windows does.
#include <cstring>

#include "sim/core/calls.h"
#include "sim/core/win_codes.h"
#include "sim/security/layout.h"

using namespace sim;

namespace {

// The descriptor's parts, or the last error of a descriptor Windows refuses.
bool partsOf(PSECURITY_DESCRIPTOR descriptor, ParsedDescriptor& parts) {
    if (!descriptor) return fail(ERROR_INVALID_PARAMETER, false);
    if (!parseDescriptor(descriptor, parts)) return fail(ERROR_UNKNOWN_REVISION, false);
    return true;
}

}  // namespace

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
    Call c("InitializeSecurityDescriptor", {arg(static_cast<const void*>(descriptor)), arg(revision)});
    if (c.injected()) return FALSE;
    if (!descriptor) return fail(ERROR_INVALID_PARAMETER);
    if (revision != SECURITY_DESCRIPTOR_REVISION) return fail(ERROR_UNKNOWN_REVISION);
    SECURITY_DESCRIPTOR fresh;
    std::memset(&fresh, 0, sizeof fresh);
    fresh.Revision = static_cast<BYTE>(revision);
    std::memcpy(descriptor, &fresh, sizeof fresh);
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL acl, BOOL defaulted) {
    Call c("SetSecurityDescriptorDacl", {arg(static_cast<const void*>(descriptor)), arg(present),
                                         arg(static_cast<const void*>(acl)), arg(defaulted)});
    if (c.injected()) return FALSE;
    if (!descriptor) return fail(ERROR_INVALID_PARAMETER);
    SECURITY_DESCRIPTOR sd;
    std::memcpy(&sd, descriptor, sizeof sd);
    if (sd.Revision != SECURITY_DESCRIPTOR_REVISION) return fail(ERROR_UNKNOWN_REVISION);
    if (sd.Control & SE_SELF_RELATIVE) return fail(ERROR_INVALID_SECURITY_DESCR);
    sd.Control &= static_cast<WORD>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    if (present) {
        sd.Control |= SE_DACL_PRESENT;
        if (defaulted) sd.Control |= SE_DACL_DEFAULTED;
        sd.Dacl = acl;
    } else {
        sd.Dacl = nullptr;
    }
    std::memcpy(descriptor, &sd, sizeof sd);
    return TRUE;
}

BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID* owner, LPBOOL defaulted) {
    Call c("GetSecurityDescriptorOwner", {arg(static_cast<const void*>(descriptor))});
    if (c.injected()) return FALSE;
    ParsedDescriptor parts;
    if (!owner || !defaulted) return fail(ERROR_INVALID_PARAMETER);
    if (!partsOf(descriptor, parts)) return FALSE;
    *owner = const_cast<BYTE*>(parts.owner);
    *defaulted = (parts.control & SE_OWNER_DEFAULTED) ? TRUE : FALSE;
    return TRUE;
}

BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl, LPBOOL defaulted) {
    Call c("GetSecurityDescriptorDacl", {arg(static_cast<const void*>(descriptor))});
    if (c.injected()) return FALSE;
    ParsedDescriptor parts;
    if (!present || !dacl || !defaulted) return fail(ERROR_INVALID_PARAMETER);
    if (!partsOf(descriptor, parts)) return FALSE;
    *present = (parts.control & SE_DACL_PRESENT) ? TRUE : FALSE;
    // Without a DACL the other two are left as they were.
    if (*present) {
        *dacl = reinterpret_cast<PACL>(const_cast<BYTE*>(parts.dacl));
        *defaulted = (parts.control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
    }
    return TRUE;
}
