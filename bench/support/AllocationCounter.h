#pragma once
// Counts heap allocations: a program that links AllocationCounter.cpp has its
// global operator new replaced by one that counts every call (the standard
// library's allocations included) before it allocates with malloc.

#include <cstdint>

namespace benchsupport {

uint64_t AllocationCount();

}  // namespace benchsupport
