#include "sim/core/handles.h"

#include <cstdlib>
#include <map>
#include <mutex>

#include "sim/core/current_machine.h"

namespace sim {

namespace {

struct Handles {
    std::map<uintptr_t, HandleRec> handles;
    uintptr_t next = 0x100;
    std::map<void*, size_t> heap;
};

Handles& H() {
    static Handles h;
    return h;
}

}  // namespace

const char* kindName(HandleKind k) {
    switch (k) {
        case HandleKind::RegKey: return "registry key";
        case HandleKind::SCManager: return "service manager";
        case HandleKind::Service: return "service";
        case HandleKind::EventSource: return "event source";
        case HandleKind::Token: return "token";
        case HandleKind::DevInfo: return "device information set";
        case HandleKind::Find: return "file search";
        case HandleKind::File: return "file";
        case HandleKind::Process: return "process";
        case HandleKind::Thread: return "thread";
        case HandleKind::ServiceStatus: return "service status";
    }
    return "?";
}

uintptr_t newHandle(HandleKind kind, const std::string& name, uint32_t access, intptr_t value) {
    std::lock_guard<std::recursive_mutex> g(lock());
    Handles& s = H();
    uintptr_t h = s.next;
    s.next += 4;
    s.handles[h] = HandleRec{kind, name, access, value};
    return h;
}

HandleRec* findHandle(uintptr_t h, HandleKind kind) {
    HandleRec* r = findAnyHandle(h);
    return (r && r->kind == kind) ? r : nullptr;
}

HandleRec* findAnyHandle(uintptr_t h) {
    auto& hs = H().handles;
    auto it = hs.find(h);
    return it == hs.end() ? nullptr : &it->second;
}

bool closeHandle(uintptr_t h) {
    std::lock_guard<std::recursive_mutex> g(lock());
    return H().handles.erase(h) == 1;
}

bool anyHandle(const std::function<bool(const HandleRec&)>& pred) {
    for (const auto& [h, r] : H().handles)
        if (pred(r)) return true;
    return false;
}

std::vector<HandleRec> openHandles() {
    std::vector<HandleRec> out;
    for (const auto& [h, r] : H().handles)
        if (r.kind != HandleKind::ServiceStatus) out.push_back(r);
    return out;
}

size_t openHandleCount() { return openHandles().size(); }

void* heapAlloc(size_t n, bool zero) {
    std::lock_guard<std::recursive_mutex> g(lock());
    void* p = zero ? std::calloc(n ? n : 1, 1) : std::malloc(n ? n : 1);
    if (p) H().heap[p] = n;
    return p;
}

bool heapFree(void* p) {
    std::lock_guard<std::recursive_mutex> g(lock());
    auto& heap = H().heap;
    auto it = heap.find(p);
    if (it == heap.end()) return false;
    heap.erase(it);
    std::free(p);
    return true;
}

size_t heapBlockCount() { return H().heap.size(); }

void resetHandles() {
    std::lock_guard<std::recursive_mutex> g(lock());
    Handles& s = H();
    for (auto& [p, n] : s.heap) std::free(p);
    s = Handles();
}

}  // namespace sim
