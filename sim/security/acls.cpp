// Access control lists of the simulated machine in their binary layout:
// made empty, given access-allowed entries, and read entry by entry.
#include <cstring>

#include "sim/core/calls.h"
#include "sim/core/win_codes.h"
#include "sim/security/layout.h"

using namespace sim;

BOOL WINAPI InitializeAcl(PACL acl, DWORD length, DWORD revision) {
    Call c("InitializeAcl", {arg(static_cast<const void*>(acl)), arg(length), arg(revision)});
    if (c.injected()) return FALSE;
    if (!acl || revision < MinAclRevision || revision > MaxAclRevision || length > 0xFFFF)
        return fail(ERROR_INVALID_PARAMETER);
    if (length < sizeof(ACL)) return fail(ERROR_INSUFFICIENT_BUFFER);
    BYTE* p = reinterpret_cast<BYTE*>(acl);
    std::memset(p, 0, sizeof(ACL));
    p[0] = static_cast<BYTE>(revision);
    writeWord(p + AclSizeOffset, static_cast<WORD>(length));
    return TRUE;
}

BOOL WINAPI AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid) {
    Call c("AddAccessAllowedAce", {arg(static_cast<const void*>(acl)), arg(revision), argHex(mask), sidArg(sid)});
    if (c.injected()) return FALSE;
    BYTE* p = reinterpret_cast<BYTE*>(acl);
    DWORD used;
    if (!validAcl(p, used)) return fail(ERROR_INVALID_ACL);
    DWORD sidSize = sidLength(sid);
    if (!sidSize) return fail(ERROR_INVALID_SID);
    if (revision < MinAclRevision || revision > MaxAclRevision) return fail(ERROR_REVISION_MISMATCH);
    DWORD aceSize = AceFixedSize + sidSize;
    if (used + aceSize > readWord(p + AclSizeOffset)) return fail(ERROR_ALLOTTED_SPACE_EXCEEDED);
    BYTE* ace = p + used;
    ace[0] = ACCESS_ALLOWED_ACE_TYPE;
    ace[1] = 0;
    writeWord(ace + AceSizeOffset, static_cast<WORD>(aceSize));
    writeDword(ace + 4, mask);
    std::memcpy(ace + AceFixedSize, sid, sidSize);
    writeWord(p + AclCountOffset, static_cast<WORD>(readWord(p + AclCountOffset) + 1));
    if (p[0] < revision) p[0] = static_cast<BYTE>(revision);
    return TRUE;
}

BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID* ace) {
    Call c("GetAce", {arg(static_cast<const void*>(acl)), arg(index)});
    if (c.injected()) return FALSE;
    BYTE* p = reinterpret_cast<BYTE*>(acl);
    DWORD used;
    if (!acl || !ace || !validAcl(p, used) || index >= readWord(p + AclCountOffset))
        return fail(ERROR_INVALID_PARAMETER);
    DWORD pos = sizeof(ACL);
    for (DWORD i = 0; i < index; ++i) pos += readWord(p + pos + AceSizeOffset);
    *ace = p + pos;
    return TRUE;
}
