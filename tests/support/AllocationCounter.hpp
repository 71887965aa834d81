#pragma once

#include <cstddef>

namespace sonvel::testing {

// Counts heap allocations made by the calling thread while a scope is open.
// The whole test binary's operator new is replaced to make this possible.
class AllocationCounter {
  public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    [[nodiscard]] std::size_t count() const;

  private:
    std::size_t start_;
};

}  // namespace sonvel::testing
