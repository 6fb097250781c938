// Security identifiers of the simulated machine in their binary layout:
// made on the heap from an authority and sub-authorities, measured, freed,
// and written as text.
#include <cstring>
#include <string>

#include "sim/core/calls.h"
#include "sim/core/handles.h"
#include "sim/core/win_codes.h"
#include "sim/security/layout.h"

using namespace sim;

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
    if (!authority || !sid) return fail(ERROR_INVALID_PARAMETER);
    if (count > 8) return fail(ERROR_INVALID_SID);
    DWORD length = SidHeaderSize + 4u * count;
    BYTE* p = static_cast<BYTE*>(heapAlloc(length, true));
    if (!p) return fail(ERROR_NOT_ENOUGH_MEMORY);
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
    DWORD length = sidLength(sid);
    if (!length) SetLastError(ERROR_INVALID_SID);
    return length;
}

BOOL WINAPI ConvertSidToStringSidA(PSID sid, LPSTR* text) {
    Call c("ConvertSidToStringSidA", {arg(static_cast<const void*>(sid))});
    if (c.injected()) return FALSE;
    if (!sid || !text) return fail(ERROR_INVALID_PARAMETER);
    if (!sidLength(sid)) return fail(ERROR_INVALID_SID);
    std::string t = sidText(static_cast<const BYTE*>(sid));
    char* block = static_cast<char*>(heapAlloc(t.size() + 1, false));
    if (!block) return fail(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(block, t.c_str(), t.size() + 1);
    *text = block;
    return TRUE;
}
