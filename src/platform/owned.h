// Owners of what the installer takes from Windows: each closes or frees its
// handle, key, set or block when it goes out of scope, so that every path
// out of a function releases it once, in the reverse order of taking. An
// owner can be moved, never copied. The same code serves the Windows build
// and the simulated machine, whose counters prove that nothing stays open.
#pragma once

#include "platform/win_base.h"
#include "platform/win_devices.h"
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

struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static Handle invalid() noexcept { return nullptr; }
    static void release(Handle handle) noexcept { CloseServiceHandle(handle); }
};
// A handle of the service control manager or of one of its services.
using ServiceHandle = Owned<ServiceHandleTraits>;

struct RegistryKeyTraits {
    using Handle = HKEY;
    static Handle invalid() noexcept { return nullptr; }
    static void release(Handle key) noexcept { RegCloseKey(key); }
};
// An opened or created registry key (never a predefined root key).
using RegistryKey = Owned<RegistryKeyTraits>;

struct DeviceSetTraits {
    using Handle = HDEVINFO;
    static Handle invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void release(Handle set) noexcept { SetupDiDestroyDeviceInfoList(set); }
};
// A device information set.
using DeviceSet = Owned<DeviceSetTraits>;

struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle invalid() noexcept { return nullptr; }
    static void release(Handle handle) noexcept { CloseHandle(handle); }
};
// A process, thread or token handle (those that are null when not had).
using KernelHandle = Owned<KernelHandleTraits>;

struct LocalBlockTraits {
    using Handle = HLOCAL;
    static Handle invalid() noexcept { return nullptr; }
    static void release(Handle block) noexcept { LocalFree(block); }
};
// A block of the local heap.
using LocalBlock = Owned<LocalBlockTraits>;
