/* Preloaded into every 32-bit Wine process of the i686 stage (qemu.py).

   Wine reserves the address space above 2 GiB with mmap64 and
   MAP_FIXED_NOREPLACE, halving each range that it cannot have down to 64 KiB
   pieces. qemu-user 7.2 does not know that flag: it treats the address as a
   hint and searches its own page table, page by page from the top of the
   guest's address space, for a free range elsewhere, which Wine then unmaps.
   Beyond the guest's address space (QEMU_RESERVED_VA) every one of those
   tens of thousands of requests fails that way, and the searches took four
   fifths of the processor time of each Wine process.

   Here such a request fails at once, as the kernel fails it (ENOMEM): a
   range that ends beyond the guest's address space cannot be had at that
   address. Every other request goes to the C library's mmap64 as it is.

   Built by qemu.py with the host compiler for i386, without the C library
   at link time (the process has it loaded). */
#include <stddef.h>

#define NOREPLACE_FLAG 0x100000 /* MAP_FIXED_NOREPLACE */
#define MAP_FAILED_RESULT ((void *)-1)
#define NEXT_SYMBOL ((void *)-1l) /* RTLD_NEXT */
#define NO_MEMORY 12              /* ENOMEM */

extern void *dlsym(void *handle, const char *name);
extern int *__errno_location(void);
extern char *getenv(const char *name);
extern int unsetenv(const char *name);

typedef void *(*mmap64_function)(void *, size_t, int, int, int, long long);

static mmap64_function next_mmap64;
static unsigned long long guest_end; /* 0: unknown, nothing is refused */

/* A hexadecimal number with or without 0x; 0 when it is not one. */
static unsigned long long hexadecimal(const char *text) {
    unsigned long long value = 0;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
    if (!*text) return 0;
    for (; *text; ++text) {
        char c = *text;
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0 || value > 0xffffffffull) return 0;
        value = value * 16 + (unsigned)digit;
    }
    return value;
}

static void find_next(void) {
    const char *end = getenv("QEMU_RESERVED_VA");
    guest_end = end ? hexadecimal(end) : 0;
    next_mmap64 = (mmap64_function)dlsym(NEXT_SYMBOL, "mmap64");
}

__attribute__((constructor)) static void start(void) {
    if (!next_mmap64) find_next();
    /* qemu puts the library back into each i386 program it starts
       (QEMU_SET_ENV); 64-bit programs that Wine starts would only complain
       about it. */
    unsetenv("LD_PRELOAD");
}

void *mmap64(void *address, size_t length, int protection, int flags, int fd, long long offset) {
    if (!next_mmap64) find_next();
    if (!next_mmap64) {
        *__errno_location() = NO_MEMORY;
        return MAP_FAILED_RESULT;
    }
    if ((flags & NOREPLACE_FLAG) && guest_end && (unsigned long long)(size_t)address + length > guest_end) {
        *__errno_location() = NO_MEMORY;
        return MAP_FAILED_RESULT;
    }
    return next_mmap64(address, length, protection, flags, fd, offset);
}
