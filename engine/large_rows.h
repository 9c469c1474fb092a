// large_rows.h - memory for rows of a wide band: hundreds of megabytes (a row of 3.7 million
// entries at 20e6/s), first touched over the first seconds of a stream. On 4 kB pages that is a
// fault every thousand entries, a tenth of those seconds' time; on Linux such blocks ask for
// 2 MB pages. Small blocks are aligned to a cache line.
#ifndef RSID_ENGINE_LARGE_ROWS_H
#define RSID_ENGINE_LARGE_ROWS_H

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__linux__) && __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace rsid {

// Allocates bytes (at least 1), freed with std::free.
inline void* allocate_rows(std::size_t bytes) {
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    const std::size_t need = bytes > 0 ? bytes : 1;
    const std::size_t align = need >= huge_page ? huge_page : 64;
    const std::size_t rounded = (need + align - 1) / align * align;
    void* p = std::aligned_alloc(align, rounded);
    if (!p) {
#if defined(__cpp_exceptions)
        throw std::bad_alloc();
#else
        std::abort(); // as operator new does where there are no exceptions (WebAssembly)
#endif
    }
#ifdef MADV_HUGEPAGE
    if (align == huge_page)
        madvise(p, rounded, MADV_HUGEPAGE); // advice: without it, the same on small pages
#endif
    return p;
}

// For std::vector: the same memory.
template <class T> struct rows_allocator {
    using value_type = T;
    rows_allocator() = default;
    template <class U> explicit rows_allocator(const rows_allocator<U>& /*other*/) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(allocate_rows(n * sizeof(T))); }
    void deallocate(T* p, std::size_t /*n*/) noexcept { std::free(p); }
    friend bool operator==(const rows_allocator& /*a*/, const rows_allocator& /*b*/) {
        return true;
    }
};

} // namespace rsid

#endif
