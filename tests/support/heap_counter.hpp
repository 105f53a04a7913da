#pragma once
#include <cstdint>

namespace tarn::test {

// Counts the heap allocations made through operator new in this test binary
// (tests/support/heap_counter.cpp replaces the global operators). Use it around a call
// that must not allocate:  const uint64_t before = heapAllocations(); ...
uint64_t heapAllocations();

}  // namespace tarn::test
