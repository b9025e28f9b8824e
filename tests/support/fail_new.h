// Allocation failure for tests: replaces the program's operator new so
// that, while armed, every throwing allocation fails with std::bad_alloc.
// A code path that must answer with a status (ENOMEM) rather than end the
// program shows here whether an allocation on it can throw.
//
// Include from exactly one source file of a test program (the definitions
// replace the library's for the whole program).
#ifndef KYR_TEST_FAIL_NEW_H
#define KYR_TEST_FAIL_NEW_H

#include <atomic>
#include <cstdlib>
#include <new>

namespace fail_new {
inline std::atomic<bool> armed{false};
inline std::atomic<long> refused{0};

// Arms the failure for the life of the object.
struct scope {
    scope() { armed = true; }
    ~scope() { armed = false; }
};
}  // namespace fail_new

// The replacement pairs malloc with free on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wunknown-warning-option"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void *operator new(std::size_t n)
{
    if (fail_new::armed) {
        fail_new::refused++;
        throw std::bad_alloc();
    }
    void *p = std::malloc(n ? n : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

void *operator new[](std::size_t n)
{
    return ::operator new(n);
}

void operator delete(void *p) noexcept
{
    std::free(p);
}

void operator delete[](void *p) noexcept
{
    std::free(p);
}

void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete[](void *p, std::size_t) noexcept
{
    std::free(p);
}

#pragma GCC diagnostic pop

#endif  // KYR_TEST_FAIL_NEW_H
