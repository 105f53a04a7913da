#pragma once
#include <cstdint>

namespace tarn::testing {

// Heap allocations made through the global operator new (every form) since the
// test binary started. The counting replacement lives in alloc_counter.cpp; it
// is the one replacement in tarn-tests, so any test can use it.
uint64_t heapAllocations();

}  // namespace tarn::testing
