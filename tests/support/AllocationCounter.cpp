#include "support/AllocationCounter.hpp"

#include <cstdlib>
#include <new>

namespace {

thread_local std::size_t allocations = 0;
thread_local int openScopes = 0;

// Counts for every form of new; an alignment `a` of 0 is new without one.
void* allocate(std::size_t size, std::size_t a, bool nothrow) {
    if (openScopes > 0) ++allocations;
    void* p =
        a == 0 ? std::malloc(size == 0 ? 1 : size) : std::aligned_alloc(a, (size + a - 1) / a * a);
    if (p == nullptr && !nothrow) throw std::bad_alloc();
    return p;
}

std::size_t bytes(std::align_val_t a) {
    return static_cast<std::size_t>(a);
}

}  // namespace

// Each operator and its array form alike. All of them are replaced, not only
// the ones the standard library would forward to: a sanitizer's runtime
// defines every form itself, and its forms neither count nor free what malloc
// handed out.
#define SONVEL_SCALAR_AND_ARRAY(result, op, parameters, ...) \
    result operator op parameters __VA_ARGS__ result operator op[] parameters __VA_ARGS__

SONVEL_SCALAR_AND_ARRAY(void*, new, (std::size_t n), { return allocate(n, 0, false); })
SONVEL_SCALAR_AND_ARRAY(void*, new, (std::size_t n, std::align_val_t a),
                        { return allocate(n, bytes(a), false); })
SONVEL_SCALAR_AND_ARRAY(void*, new, (std::size_t n, const std::nothrow_t&) noexcept,
                        { return allocate(n, 0, true); })
SONVEL_SCALAR_AND_ARRAY(void*, new,
                        (std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept,
                        { return allocate(n, bytes(a), true); })
SONVEL_SCALAR_AND_ARRAY(void, delete, (void* p) noexcept, { std::free(p); })
SONVEL_SCALAR_AND_ARRAY(void, delete, (void* p, std::size_t) noexcept, { std::free(p); })
SONVEL_SCALAR_AND_ARRAY(void, delete, (void* p, std::align_val_t) noexcept, { std::free(p); })
SONVEL_SCALAR_AND_ARRAY(void, delete, (void* p, std::size_t, std::align_val_t) noexcept,
                        { std::free(p); })
SONVEL_SCALAR_AND_ARRAY(void, delete, (void* p, const std::nothrow_t&) noexcept, { std::free(p); })
SONVEL_SCALAR_AND_ARRAY(void, delete, (void* p, std::align_val_t, const std::nothrow_t&) noexcept,
                        { std::free(p); })

namespace sonvel::testing {

AllocationCounter::AllocationCounter() : start_(allocations) {
    ++openScopes;
}
AllocationCounter::~AllocationCounter() {
    --openScopes;
}
std::size_t AllocationCounter::count() const {
    return allocations - start_;
}

}  // namespace sonvel::testing
