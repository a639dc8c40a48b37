// SPDX-License-Identifier: MIT
// Buffers for whole payloads. Their elements start uninitialised, since the converter fills every
// byte it uses (reading, zero-filling what the file lacks, or coding into it), so a 100 MB buffer
// is not written twice. (They do not ask for transparent huge pages: on a machine whose memory is
// fragmented, the kernel's compaction for them stalled conversions for a few hundred ms.)
#pragma once

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <utility>
#include <vector>

namespace imabox {

template <class T>
struct PayloadAllocator {
    using value_type = T;

    PayloadAllocator() = default;
    template <class U>
    PayloadAllocator(const PayloadAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T))
            throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        void* p = std::malloc(bytes == 0 ? 1 : bytes);
        if (!p)
            throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }

    // Default-initialisation: no value written for trivial types.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    friend bool operator==(const PayloadAllocator&, const PayloadAllocator&) { return true; }
};

template <class T>
using PayloadBuffer = std::vector<T, PayloadAllocator<T>>;

}  // namespace imabox
