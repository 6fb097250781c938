#include "sim/security/layout.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/core/calls.h"

namespace sim {

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

// ---- ACLs -------------------------------------------------------------------

bool validAcl(const BYTE* acl, DWORD& used) {
    if (!acl) return false;
    if (acl[0] < MinAclRevision || acl[0] > MaxAclRevision) return false;
    WORD size = readWord(acl + AclSizeOffset);
    WORD count = readWord(acl + AclCountOffset);
    if (size < sizeof(ACL)) return false;
    DWORD pos = sizeof(ACL);
    for (WORD i = 0; i < count; ++i) {
        if (pos + sizeof(ACE_HEADER) > size) return false;
        WORD aceSize = readWord(acl + pos + AceSizeOffset);
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

bool aclEntries(const BYTE* acl, std::vector<Ace>& entries) {
    DWORD used;
    if (!validAcl(acl, used)) return false;
    entries.clear();
    DWORD pos = sizeof(ACL);
    for (WORD i = 0, count = readWord(acl + AclCountOffset); i < count; ++i) {
        BYTE type = acl[pos];
        WORD aceSize = readWord(acl + pos + AceSizeOffset);
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

bool aclOf(const std::vector<Ace>& entries, std::vector<BYTE>& out) {
    out.assign(sizeof(ACL), 0);
    for (const auto& ace : entries) {
        std::vector<BYTE> sid;
        if (!sidBytes(ace.sid, sid)) return false;
        size_t at = out.size();
        out.resize(at + AceFixedSize + sid.size());
        out[at] = ace.allow ? ACCESS_ALLOWED_ACE_TYPE : ACCESS_DENIED_ACE_TYPE;
        out[at + 1] = ace.flags;
        writeWord(&out[at + AceSizeOffset], static_cast<WORD>(AceFixedSize + sid.size()));
        writeDword(&out[at + 4], ace.mask);
        std::memcpy(&out[at + AceFixedSize], sid.data(), sid.size());
    }
    if (out.size() > 0xFFFF) return false;
    out[0] = ACL_REVISION;
    writeWord(&out[AclSizeOffset], static_cast<WORD>(out.size()));
    writeWord(&out[AclCountOffset], static_cast<WORD>(entries.size()));
    return true;
}

// ---- security descriptors ---------------------------------------------------

bool parseDescriptor(const void* descriptor, ParsedDescriptor& out) {
    const BYTE* base = static_cast<const BYTE*>(descriptor);
    if (base[0] != SECURITY_DESCRIPTOR_REVISION) return false;
    out.control = readWord(base + DescriptorControlOffset);
    if (out.control & SE_SELF_RELATIVE) {
        DWORD ownerOffset = readDword(base + DescriptorOwnerOffset);
        DWORD daclOffset = readDword(base + DescriptorDaclOffset);
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

}  // namespace sim
