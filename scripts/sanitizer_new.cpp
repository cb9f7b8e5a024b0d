// Global operator new and delete for the AddressSanitizer build of _core,
// linked into the extension by scripts/test-sanitizers.sh.
//
// The sanitizer's own operator new never throws: an allocation it cannot
// meet (a table for 2**40 frequency bins, say) ends the process with an
// out-of-memory report, where the real build throws std::bad_alloc and the
// caller gets MemoryError.  These replacements go through malloc and free,
// which the sanitizer still intercepts (red zones, use after free, leaks),
// and throw as the standard says.  They are hidden (the assembler directive
// below: <new> has already declared them with default visibility), so they
// serve _core's own code only and nothing else in the process.

#include <cstdlib>
#include <new>

__asm__(
    ".hidden _Znwm\n.hidden _Znam\n"
    ".hidden _ZnwmRKSt9nothrow_t\n.hidden _ZnamRKSt9nothrow_t\n"
    ".hidden _ZnwmSt11align_val_t\n.hidden _ZnamSt11align_val_t\n"
    ".hidden _ZnwmSt11align_val_tRKSt9nothrow_t\n.hidden _ZnamSt11align_val_tRKSt9nothrow_t\n"
    ".hidden _ZdlPv\n.hidden _ZdaPv\n.hidden _ZdlPvm\n.hidden _ZdaPvm\n"
    ".hidden _ZdlPvRKSt9nothrow_t\n.hidden _ZdaPvRKSt9nothrow_t\n"
    ".hidden _ZdlPvSt11align_val_t\n.hidden _ZdaPvSt11align_val_t\n"
    ".hidden _ZdlPvmSt11align_val_t\n.hidden _ZdaPvmSt11align_val_t\n"
    ".hidden _ZdlPvSt11align_val_tRKSt9nothrow_t\n.hidden _ZdaPvSt11align_val_tRKSt9nothrow_t\n");

namespace {

void* allocate(std::size_t size) {
    if (size == 0) size = 1;
    if (void* p = std::malloc(size)) return p;
    throw std::bad_alloc();
}

void* allocate_aligned(std::size_t size, std::align_val_t align) {
    void* p = nullptr;
    std::size_t a = static_cast<std::size_t>(align);
    if (a < sizeof(void*)) a = sizeof(void*);
    if (posix_memalign(&p, a, size == 0 ? 1 : size) != 0) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size, std::align_val_t align) {
    return allocate_aligned(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align) {
    return allocate_aligned(size, align);
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    try {
        return allocate_aligned(size, align);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, std::align_val_t align,
                     const std::nothrow_t& tag) noexcept {
    return ::operator new(size, align, tag);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
