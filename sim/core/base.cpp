// Handle closing, the heaps and the debug output of the simulated machine.
#include <cstdlib>

#include "platform/win_base.h"
#include "platform/win_process.h"
#include "sim/core/calls.h"
#include "sim/core/handles.h"

using namespace sim;

// The debug output goes nowhere but into the call record, as on a machine
// where no debugger listens. It keeps the last error as Windows does.
void WINAPI OutputDebugStringA(LPCSTR text) { Call c("OutputDebugStringA", {arg(text)}, false); }

BOOL WINAPI CloseHandle(HANDLE h) {
    Call c("CloseHandle", {arg(h)}, false);
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    HandleRec* r = findAnyHandle(v);
    if (!r || (r->kind != HandleKind::Process && r->kind != HandleKind::Thread &&
               r->kind != HandleKind::File && r->kind != HandleKind::Token))
        return fail(ERROR_INVALID_HANDLE);
    // Closing a process handle reaps nothing: the wait already did.
    closeHandle(v);
    return TRUE;
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
    Call c("LocalAlloc", {argHex(flags), arg(static_cast<uint32_t>(bytes))});
    if (c.injected()) return nullptr;
    void* p = heapAlloc(bytes, (flags & LMEM_ZEROINIT) != 0);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL WINAPI LocalFree(HLOCAL mem) {
    Call c("LocalFree", {arg(mem)}, false);
    if (!mem) return nullptr;
    return heapFree(mem) ? nullptr : fail(ERROR_INVALID_HANDLE, mem);
}

static char processHeapTag;

HANDLE WINAPI GetProcessHeap(void) {
    Call c("GetProcessHeap", {});
    if (c.injected()) return nullptr;
    return &processHeapTag;
}

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    Call c("HeapAlloc", {arg(heap), argHex(flags), arg(static_cast<uint32_t>(bytes))});
    if (c.injected()) return nullptr;
    if (heap != &processHeapTag) return fail(ERROR_INVALID_HANDLE, nullptr);
    void* p = heapAlloc(bytes, (flags & HEAP_ZERO_MEMORY) != 0);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID mem) {
    Call c("HeapFree", {arg(heap), argHex(flags), arg(mem)}, false);
    if (heap != &processHeapTag || !mem || !heapFree(mem)) return fail(ERROR_INVALID_PARAMETER);
    return TRUE;
}
