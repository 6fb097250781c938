// The handles and heap blocks of this process: every handle a platform
// function gives out is one of these, and the tests and exit reports count
// what is left open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

enum class HandleKind { RegKey, SCManager, Service, EventSource, Token, DevInfo, Find, File,
                        Process, Thread, ServiceStatus };
const char* kindName(HandleKind k);

struct HandleRec {
    HandleKind kind;
    std::string name;      // key path, service name, file path, ...
    uint32_t access = 0;
    intptr_t value = 0;    // kind-specific (pid, fd, set id)
    uint32_t share = 0;    // a file's: the share mode it was opened with
};

uintptr_t newHandle(HandleKind kind, const std::string& name, uint32_t access = 0,
                    intptr_t value = 0);
HandleRec* findHandle(uintptr_t h, HandleKind kind);
HandleRec* findAnyHandle(uintptr_t h);
bool closeHandle(uintptr_t h);
bool anyHandle(const std::function<bool(const HandleRec&)>& pred);
// The handles open, and how many: the status handles of a service are left
// out, since they are never closed, on Windows as here.
std::vector<HandleRec> openHandles();
size_t openHandleCount();

void* heapAlloc(size_t n, bool zero);
bool heapFree(void* p);
size_t heapBlockCount();

// Closes every handle and frees every heap block (between unit tests).
void resetHandles();

}  // namespace sim
