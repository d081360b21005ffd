#pragma once

// The pool the core's event data copies come from: slabs, or under
// AddressSanitizer exact malloc'd copies that it can watch as closely as
// any other buffer. Both offer the same operations.
#include "exact_copy_pool.h"
#include "slab_copy_pool.h"

#if defined(__SANITIZE_ADDRESS__)
#define CORE_EXACT_COPIES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORE_EXACT_COPIES 1
#endif
#endif

#ifdef CORE_EXACT_COPIES
using CopyPool = ExactCopyPool;
#else
using CopyPool = SlabCopyPool;
#endif
