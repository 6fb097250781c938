// Security identifiers, access control lists and security descriptors in
// their binary Windows layouts, as the security functions and the
// registry's key security read and write them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/win_registry.h"
#include "sim/core/machine.h"

namespace sim {

const BYTE SidRevision = 1;
const BYTE MaxSubAuthorities = 15;
const DWORD SidHeaderSize = 8;  // revision, count, authority
const DWORD MaxSidSize = SidHeaderSize + 4u * MaxSubAuthorities;
const BYTE MinAclRevision = 2;
const BYTE MaxAclRevision = 4;
const DWORD AclSizeOffset = 2;   // of the ACL's size in its header
const DWORD AclCountOffset = 4;  // of the number of its entries
const DWORD AceSizeOffset = 2;   // of an entry's size in its header
const DWORD AceFixedSize = 8;    // ACE header and mask
// A self-relative descriptor: its revision, its control word, then the
// offsets of its owner, group, SACL and DACL.
const DWORD SelfRelativeHeaderSize = 20;
const DWORD DescriptorControlOffset = 2;
const DWORD DescriptorOwnerOffset = 4;
const DWORD DescriptorGroupOffset = 8;
const DWORD DescriptorDaclOffset = 16;

// Fields of a layout, in the machine's byte order, at any alignment.
WORD readWord(const BYTE* p);
DWORD readDword(const BYTE* p);
void writeWord(BYTE* p, WORD v);
void writeDword(BYTE* p, DWORD v);

// ---- SIDs -------------------------------------------------------------------

// Length of a valid SID within `room` bytes, or 0.
DWORD validSidLength(const BYTE* sid, size_t room);
inline DWORD sidLength(const void* sid) { return validSidLength(static_cast<const BYTE*>(sid), MaxSidSize); }
std::string sidText(const BYTE* sid);  // "S-1-5-32-544"
bool sidBytes(const std::string& text, std::vector<BYTE>& out);
// A SID as the record of calls shows it: its text, or its address when it
// is not one.
std::string sidArg(const void* sid);

// ---- ACLs -------------------------------------------------------------------

// Whether the ACL header and its entries are well formed; the position
// behind the last entry goes to `used`.
bool validAcl(const BYTE* acl, DWORD& used);
// The entries of a valid ACL as the machine keeps them; only access-allowed
// and access-denied entries are kept by a key.
bool aclEntries(const BYTE* acl, std::vector<Ace>& entries);
// A key's DACL in the binary layout (revision 2).
bool aclOf(const std::vector<Ace>& entries, std::vector<BYTE>& out);

// ---- security descriptors ---------------------------------------------------

struct ParsedDescriptor {
    WORD control = 0;
    const BYTE* owner = nullptr;
    const BYTE* dacl = nullptr;
};

// Reads an absolute or self-relative descriptor built by the caller; false
// for an unknown revision.
bool parseDescriptor(const void* descriptor, ParsedDescriptor& out);

}  // namespace sim
