// Key security of the simulated registry, and the security identifiers,
// access control lists and security descriptors in their binary Windows
// layouts.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/registry/registry.h"
#include "sim/core/runtime.h"
#include "sim/core/win_codes.h"

using namespace sim;

namespace {

const BYTE SidRevision = 1;
const BYTE MaxSubAuthorities = 15;
const BYTE MinAclRevision = 2;
const BYTE MaxAclRevision = 4;
const DWORD SidHeaderSize = 8;          // revision, count, authority
const DWORD AceFixedSize = 8;           // ACE header and mask
const DWORD SelfRelativeHeaderSize = 20;

// Group reported for every key: the machine keeps none of its own.
const char* const KeyGroup = "S-1-5-18";

WORD readWord(const BYTE* p) {
    WORD v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
DWORD readDword(const BYTE* p) {
    DWORD v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
void writeWord(BYTE* p, WORD v) { std::memcpy(p, &v, sizeof v); }
void writeDword(BYTE* p, DWORD v) { std::memcpy(p, &v, sizeof v); }

// ---- SIDs --------------------------------------------------------------------

// Length of a valid SID within `room` bytes, or 0.
DWORD validSidLength(const BYTE* sid, size_t room) {
    if (!sid || room < SidHeaderSize) return 0;
    if (sid[0] != SidRevision || sid[1] > MaxSubAuthorities) return 0;
    DWORD length = SidHeaderSize + 4u * sid[1];
    return length <= room ? length : 0;
}

std::string sidText(const BYTE* sid) {
    unsigned long long authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
    char part[32];
    std::snprintf(part, sizeof part, authority < (1ull << 32) ? "S-%u-%llu" : "S-%u-0x%012llX", static_cast<unsigned>(sid[0]), authority);
    std::string text = part;
    for (BYTE i = 0; i < sid[1]; ++i) {
        std::snprintf(part, sizeof part, "-%u", readDword(sid + SidHeaderSize + 4u * i));
        text += part;
    }
    return text;
}

bool sidBytes(const std::string& text, std::vector<BYTE>& out) {
    unsigned long long numbers[2 + MaxSubAuthorities];
    size_t count = 0;
    if (text.size() < 2 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return false;
    size_t pos = 2;
    while (pos <= text.size()) {
        if (count == sizeof numbers / sizeof numbers[0]) return false;
        size_t end = text.find('-', pos);
        if (end == std::string::npos) end = text.size();
        std::string field = text.substr(pos, end - pos);
        if (field.empty()) return false;
        char* stop = nullptr;
        numbers[count++] = std::strtoull(field.c_str(), &stop, 0);
        if (*stop) return false;
        pos = end + 1;
    }
    if (count < 2 || numbers[0] != SidRevision || numbers[1] >= (1ull << 48)) return false;
    out.assign(SidHeaderSize + 4 * (count - 2), 0);
    out[0] = SidRevision;
    out[1] = static_cast<BYTE>(count - 2);
    for (int i = 0; i < 6; ++i) out[2 + i] = static_cast<BYTE>(numbers[1] >> (8 * (5 - i)));
    for (size_t i = 2; i < count; ++i) {
        if (numbers[i] > 0xFFFFFFFFull) return false;
        writeDword(&out[SidHeaderSize + 4 * (i - 2)], static_cast<DWORD>(numbers[i]));
    }
    return true;
}

std::string sidArg(const void* sid) {
    const BYTE* s = static_cast<const BYTE*>(sid);
    if (!s) return "null";
    if (s[0] != SidRevision || s[1] > MaxSubAuthorities) return arg(sid);
    return sidText(s);
}

// ---- ACLs --------------------------------------------------------------------

// Whether the ACL header and its entries are well formed; the position
// behind the last entry goes to `used`.
bool validAcl(const BYTE* acl, DWORD& used) {
    if (!acl) return false;
    if (acl[0] < MinAclRevision || acl[0] > MaxAclRevision) return false;
    WORD size = readWord(acl + 2);
    WORD count = readWord(acl + 4);
    if (size < sizeof(ACL)) return false;
    DWORD pos = sizeof(ACL);
    for (WORD i = 0; i < count; ++i) {
        if (pos + sizeof(ACE_HEADER) > size) return false;
        WORD aceSize = readWord(acl + pos + 2);
        if (aceSize < sizeof(ACE_HEADER) || pos + aceSize > size) return false;
        BYTE type = acl[pos];
        if (type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE) {
            if (aceSize < AceFixedSize || !validSidLength(acl + pos + AceFixedSize, aceSize - AceFixedSize))
                return false;
        }
        pos += aceSize;
    }
    used = pos;
    return true;
}

// The entries of a valid ACL as the machine keeps them; only access-allowed
// and access-denied entries are kept by a key.
bool aclEntries(const BYTE* acl, std::vector<Ace>& entries) {
    DWORD used;
    if (!validAcl(acl, used)) return false;
    entries.clear();
    DWORD pos = sizeof(ACL);
    for (WORD i = 0, count = readWord(acl + 4); i < count; ++i) {
        BYTE type = acl[pos];
        WORD aceSize = readWord(acl + pos + 2);
        if (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_DENIED_ACE_TYPE) return false;
        Ace ace;
        ace.allow = type == ACCESS_ALLOWED_ACE_TYPE;
        ace.flags = acl[pos + 1];
        ace.mask = readDword(acl + pos + 4);
        ace.sid = sidText(acl + pos + AceFixedSize);
        entries.push_back(ace);
        pos += aceSize;
    }
    return true;
}

// A key's DACL in the binary layout (revision 2).
bool aclOf(const std::vector<Ace>& entries, std::vector<BYTE>& out) {
    out.assign(sizeof(ACL), 0);
    for (const auto& ace : entries) {
        std::vector<BYTE> sid;
        if (!sidBytes(ace.sid, sid)) return false;
        size_t at = out.size();
        out.resize(at + AceFixedSize + sid.size());
        out[at] = ace.allow ? ACCESS_ALLOWED_ACE_TYPE : ACCESS_DENIED_ACE_TYPE;
        out[at + 1] = ace.flags;
        writeWord(&out[at + 2], static_cast<WORD>(AceFixedSize + sid.size()));
        writeDword(&out[at + 4], ace.mask);
        std::memcpy(&out[at + AceFixedSize], sid.data(), sid.size());
    }
    if (out.size() > 0xFFFF) return false;
    out[0] = ACL_REVISION;
    writeWord(&out[2], static_cast<WORD>(out.size()));
    writeWord(&out[4], static_cast<WORD>(entries.size()));
    return true;
}

// ---- security descriptors ---------------------------------------------------

struct ParsedDescriptor {
    WORD control = 0;
    const BYTE* owner = nullptr;
    const BYTE* dacl = nullptr;
};

// Reads an absolute or self-relative descriptor built by the caller.
bool parseDescriptor(const void* descriptor, ParsedDescriptor& out) {
    const BYTE* base = static_cast<const BYTE*>(descriptor);
    if (base[0] != SECURITY_DESCRIPTOR_REVISION) return false;
    out.control = readWord(base + 2);
    if (out.control & SE_SELF_RELATIVE) {
        DWORD ownerOffset = readDword(base + 4);
        DWORD daclOffset = readDword(base + 16);
        out.owner = ownerOffset ? base + ownerOffset : nullptr;
        out.dacl = daclOffset ? base + daclOffset : nullptr;
    } else {
        SECURITY_DESCRIPTOR absolute;
        std::memcpy(&absolute, descriptor, sizeof absolute);
        out.owner = static_cast<const BYTE*>(absolute.Owner);
        out.dacl = reinterpret_cast<const BYTE*>(absolute.Dacl);
    }
    return true;
}

}  // namespace

LONG WINAPI RegGetKeySecurity(HKEY h, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor, LPDWORD size) {
    RegistryCall c("RegGetKeySecurity", {hkeyArg(h), argHex(info), arg(static_cast<const void*>(descriptor)),
                                         size ? arg(*size) : "null"});
    if (c.injected()) return c.error();
    KeyHandle handle;
    if (long rc = keyOfHandle(h, handle)) return rc;
    RegKey* key = handle.key;
    if (!size) return ERROR_INVALID_PARAMETER;
    uint32_t needed = 0;
    if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION))
        needed |= READ_CONTROL;
    if (info & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
    if ((handle.access & needed) != needed) return ERROR_ACCESS_DENIED;
    if (!key->securityReadable) return ERROR_ACCESS_DENIED;

    std::vector<BYTE> owner, group, dacl;
    if ((info & OWNER_SECURITY_INFORMATION) && !sidBytes(key->owner, owner)) return ERROR_INVALID_SECURITY_DESCR;
    if ((info & GROUP_SECURITY_INFORMATION) && !sidBytes(KeyGroup, group)) return ERROR_INVALID_SECURITY_DESCR;
    if ((info & DACL_SECURITY_INFORMATION) && !key->nullDacl && !aclOf(key->dacl, dacl))
        return ERROR_INVALID_SECURITY_DESCR;

    std::vector<BYTE> out(SelfRelativeHeaderSize, 0);
    WORD control = SE_SELF_RELATIVE;
    auto append = [&out](const std::vector<BYTE>& part) -> DWORD {
        if (part.empty()) return 0;
        DWORD at = static_cast<DWORD>(out.size());
        out.insert(out.end(), part.begin(), part.end());
        return at;
    };
    writeDword(&out[4], append(owner));
    writeDword(&out[8], append(group));
    writeDword(&out[16], append(dacl));  // no SACL: offset 12 stays 0
    if (info & DACL_SECURITY_INFORMATION) control |= SE_DACL_PRESENT;  // a null DACL has offset 0
    out[0] = SECURITY_DESCRIPTOR_REVISION;
    writeWord(&out[2], control);

    if (!descriptor || *size < out.size()) {
        *size = static_cast<DWORD>(out.size());
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(descriptor, out.data(), out.size());
    *size = static_cast<DWORD>(out.size());
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetKeySecurity(HKEY h, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor) {
    RegistryCall c("RegSetKeySecurity", {hkeyArg(h), argHex(info), arg(static_cast<const void*>(descriptor))});
    if (c.injected()) return c.error();
    KeyHandle handle;
    if (long rc = keyOfHandle(h, handle)) return rc;
    RegKey* key = handle.key;
    if (!descriptor) return ERROR_INVALID_PARAMETER;
    uint32_t needed = 0;
    if (info & DACL_SECURITY_INFORMATION) needed |= WRITE_DAC;
    if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) needed |= WRITE_OWNER;
    if (info & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
    if ((handle.access & needed) != needed) return ERROR_ACCESS_DENIED;

    ParsedDescriptor parsed;
    if (!parseDescriptor(descriptor, parsed)) return ERROR_INVALID_SECURITY_DESCR;
    std::string newOwner = key->owner;
    if (info & OWNER_SECURITY_INFORMATION) {
        if (!validSidLength(parsed.owner, SidHeaderSize + 4u * MaxSubAuthorities)) return ERROR_INVALID_OWNER;
        newOwner = sidText(parsed.owner);
        // Without restore privileges an owner must be one of the caller's own.
        bool held = false;
        for (const auto& sid : tokenSids()) held = held || sid == newOwner;
        if (!held) return ERROR_INVALID_OWNER;
    }
    bool nullDacl = key->nullDacl;
    std::vector<Ace> dacl = key->dacl;
    if (info & DACL_SECURITY_INFORMATION) {
        // A descriptor without a DACL gives the key a null DACL.
        nullDacl = !(parsed.control & SE_DACL_PRESENT) || !parsed.dacl;
        dacl.clear();
        if (!nullDacl && !aclEntries(parsed.dacl, dacl)) return ERROR_INVALID_ACL;
    }
    key->owner = newOwner;
    key->nullDacl = nullDacl;
    key->dacl = dacl;
    commit();
    return ERROR_SUCCESS;
}

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0, DWORD s1,
                                     DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* sid) {
    std::string authorityText = "null";
    if (authority) {
        authorityText = "{";
        for (int i = 0; i < 6; ++i) authorityText += (i ? "," : "") + std::to_string(authority->Value[i]);
        authorityText += "}";
    }
    Call c("AllocateAndInitializeSid", {authorityText, arg(static_cast<uint32_t>(count)), arg(s0), arg(s1), arg(s2),
                                        arg(s3), arg(s4), arg(s5), arg(s6), arg(s7)});
    if (c.injected()) return FALSE;
    if (!authority || !sid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (count > 8) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    DWORD length = SidHeaderSize + 4u * count;
    BYTE* p = static_cast<BYTE*>(heapAlloc(length, true));
    if (!p) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    const DWORD subs[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
    p[0] = SidRevision;
    p[1] = count;
    std::memcpy(p + 2, authority->Value, 6);
    for (BYTE i = 0; i < count; ++i) writeDword(p + SidHeaderSize + 4u * i, subs[i]);
    *sid = p;
    return TRUE;
}

PVOID WINAPI FreeSid(PSID sid) {
    Call c("FreeSid", {sidArg(sid)}, false);
    if (!sid || !heapFree(sid)) return sid;
    return nullptr;
}

DWORD WINAPI GetLengthSid(PSID sid) {
    // Reads the SID only; on Windows it cannot fail.
    Call c("GetLengthSid", {sidArg(sid)}, false);
    DWORD length = validSidLength(static_cast<const BYTE*>(sid), SidHeaderSize + 4u * MaxSubAuthorities);
    if (!length) SetLastError(ERROR_INVALID_SID);
    return length;
}

BOOL WINAPI InitializeAcl(PACL acl, DWORD length, DWORD revision) {
    Call c("InitializeAcl", {arg(static_cast<const void*>(acl)), arg(length), arg(revision)});
    if (c.injected()) return FALSE;
    if (!acl || revision < MinAclRevision || revision > MaxAclRevision || length > 0xFFFF) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (length < sizeof(ACL)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    BYTE* p = reinterpret_cast<BYTE*>(acl);
    std::memset(p, 0, sizeof(ACL));
    p[0] = static_cast<BYTE>(revision);
    writeWord(p + 2, static_cast<WORD>(length));
    return TRUE;
}

BOOL WINAPI AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid) {
    Call c("AddAccessAllowedAce", {arg(static_cast<const void*>(acl)), arg(revision), argHex(mask), sidArg(sid)});
    if (c.injected()) return FALSE;
    BYTE* p = reinterpret_cast<BYTE*>(acl);
    DWORD used;
    if (!validAcl(p, used)) {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
    }
    DWORD sidLength = validSidLength(static_cast<const BYTE*>(sid), SidHeaderSize + 4u * MaxSubAuthorities);
    if (!sidLength) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    if (revision < MinAclRevision || revision > MaxAclRevision) {
        SetLastError(ERROR_REVISION_MISMATCH);
        return FALSE;
    }
    DWORD aceSize = AceFixedSize + sidLength;
    if (used + aceSize > readWord(p + 2)) {
        SetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
        return FALSE;
    }
    BYTE* ace = p + used;
    ace[0] = ACCESS_ALLOWED_ACE_TYPE;
    ace[1] = 0;
    writeWord(ace + 2, static_cast<WORD>(aceSize));
    writeDword(ace + 4, mask);
    std::memcpy(ace + AceFixedSize, sid, sidLength);
    writeWord(p + 4, static_cast<WORD>(readWord(p + 4) + 1));
    if (p[0] < revision) p[0] = static_cast<BYTE>(revision);
    return TRUE;
}

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
    Call c("InitializeSecurityDescriptor", {arg(static_cast<const void*>(descriptor)), arg(revision)});
    if (c.injected()) return FALSE;
    if (!descriptor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
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
    if (!descriptor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SECURITY_DESCRIPTOR sd;
    std::memcpy(&sd, descriptor, sizeof sd);
    if (sd.Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    if (sd.Control & SE_SELF_RELATIVE) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
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

// The layouts above, for the readers of a descriptor (security_read.cpp).
namespace sim {
std::string sidTextOf(const void* sid) { return sidText(static_cast<const BYTE*>(sid)); }
DWORD sidLengthOf(const void* sid) {
    return validSidLength(static_cast<const BYTE*>(sid), SidHeaderSize + 4u * MaxSubAuthorities);
}
bool aclValid(const void* acl) {
    DWORD used;
    return validAcl(static_cast<const BYTE*>(acl), used);
}
bool descriptorParts(const void* descriptor, WORD& control, const BYTE*& owner, const BYTE*& dacl) {
    ParsedDescriptor parsed;
    if (!parseDescriptor(descriptor, parsed)) return false;
    control = parsed.control;
    owner = parsed.owner;
    dacl = parsed.dacl;
    return true;
}
}  // namespace sim
