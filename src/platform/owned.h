// Owners of what the installer takes from Windows: each closes or frees its
// handle, key, set or block when it goes out of scope, so that every path
// out of a function releases it once, in the reverse order of taking. An
// owner can be moved, never copied. The same code serves the Windows build
// and the simulated machine, whose counters prove that nothing stays open.
#pragma once

#include "platform/win_base.h"
#include "platform/win_devices.h"
#include "platform/win_files.h"
#include "platform/win_process.h"
#include "platform/win_registry.h"
#include "platform/win_services.h"

// An owner over Traits: Traits::Handle the type, Traits::invalid() the value
// that owns nothing, Traits::release(h) the call that gives it back.
template <typename Traits>
class Owned {
public:
    using Handle = typename Traits::Handle;

    Owned() noexcept : handle_(Traits::invalid()) {}
    explicit Owned(Handle handle) noexcept : handle_(handle) {}
    Owned(Owned&& other) noexcept : handle_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Traits::invalid(); }

    // Gives the handle up without releasing it.
    Handle release() noexcept {
        Handle handle = handle_;
        handle_ = Traits::invalid();
        return handle;
    }

    // Releases what is owned now and takes handle instead.
    void reset(Handle handle = Traits::invalid()) noexcept {
        if (handle_ != Traits::invalid()) Traits::release(handle_);
        handle_ = handle;
    }

private:
    Handle handle_;
};

// The traits of a handle type whose empty value is null.
template <typename H>
struct NullIsEmpty {
    using Handle = H;
    static Handle invalid() noexcept { return nullptr; }
};

// The owners: a handle of the service control manager or of one of its
// services; an opened or created registry key (never a predefined root key);
// a process, thread or token handle; a block of the local heap.
struct ServiceHandleTraits : NullIsEmpty<SC_HANDLE> {
    static void release(Handle h) noexcept { CloseServiceHandle(h); }
};
struct RegistryKeyTraits : NullIsEmpty<HKEY> {
    static void release(Handle h) noexcept { RegCloseKey(h); }
};
struct KernelHandleTraits : NullIsEmpty<HANDLE> {
    static void release(Handle h) noexcept { CloseHandle(h); }
};
struct LocalBlockTraits : NullIsEmpty<HLOCAL> {
    static void release(Handle h) noexcept { LocalFree(h); }
};
using ServiceHandle = Owned<ServiceHandleTraits>;
using RegistryKey = Owned<RegistryKeyTraits>;
using KernelHandle = Owned<KernelHandleTraits>;
using LocalBlock = Owned<LocalBlockTraits>;

// A security identifier that AllocateAndInitializeSid made.
struct SidTraits : NullIsEmpty<PSID> {
    static void release(Handle h) noexcept { FreeSid(h); }
};
using OwnedSid = Owned<SidTraits>;

// A file descriptor of the C runtime that _sopen opened.
struct FileDescriptorTraits {
    using Handle = int;
    static Handle invalid() noexcept { return -1; }
    static void release(Handle fd) noexcept { _close(fd); }
};
using FileDescriptor = Owned<FileDescriptorTraits>;

// A file or device handle that CreateFileA opened: empty is
// INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void release(Handle h) noexcept { CloseHandle(h); }
};
using FileHandle = Owned<FileHandleTraits>;

// A search that FindFirstFileA began: empty is INVALID_HANDLE_VALUE.
struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void release(Handle h) noexcept { FindClose(h); }
};
using FindHandle = Owned<FindHandleTraits>;

// The two handles of a started process: the process's, then the thread's,
// are closed.
struct ProcessHandles {
    explicit ProcessHandles(const PROCESS_INFORMATION& started) noexcept
        : thread(started.hThread), process(started.hProcess) {}
    KernelHandle thread;
    KernelHandle process;
};

// Opens a registry key into an owner, which takes it only when it opened.
// Returns what RegOpenKeyExA returned.
inline LONG openRegistryKey(HKEY parent, const char* name, REGSAM access, RegistryKey& key) {
    HKEY opened;
    LONG rc = RegOpenKeyExA(parent, name, 0, access, &opened);
    if (rc == ERROR_SUCCESS) key.reset(opened);
    return rc;
}

// A block of a heap, given back to the heap it came from.
class HeapBlock {
public:
    HeapBlock() noexcept = default;
    HeapBlock(HeapBlock&& other) noexcept : heap_(other.heap_), block_(other.block_) { other.block_ = nullptr; }
    HeapBlock& operator=(HeapBlock&& other) noexcept {
        if (this != &other) {
            reset(other.heap_, other.block_);
            other.block_ = nullptr;
        }
        return *this;
    }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    ~HeapBlock() { reset(nullptr, nullptr); }

    void* get() const noexcept { return block_; }
    explicit operator bool() const noexcept { return block_ != nullptr; }

    // Frees what is owned now and takes block, a block of heap, instead.
    void reset(HANDLE heap, void* block) noexcept {
        if (block_) HeapFree(heap_, 0, block_);
        heap_ = heap;
        block_ = block;
    }

private:
    HANDLE heap_ = nullptr;
    void* block_ = nullptr;
};

// A device information set: empty is INVALID_HANDLE_VALUE. Its release
// leaves the thread's last error as it was, so that the error of the work
// done with the set outlives the set.
struct DeviceSetTraits {
    using Handle = HDEVINFO;
    static Handle invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void release(Handle set) noexcept {
        DWORD error = GetLastError();
        SetupDiDestroyDeviceInfoList(set);
        SetLastError(error);
    }
};
using DeviceSet = Owned<DeviceSetTraits>;
