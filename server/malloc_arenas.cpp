#include "malloc_arenas.h"

#include <malloc.h>

#include "sanitizers.h"

namespace capecho {

bool share_malloc_arenas() {
#if defined(CAPECHO_INSTRUMENTED)
  return true;  // the sanitizer's allocator has no arenas to share
#elif defined(M_ARENA_MAX)
  // Called before any other thread exists.
  return mallopt(M_ARENA_MAX, 1) == 1;  // NOLINT(concurrency-mt-unsafe)
#else
  return true;
#endif
}

}  // namespace capecho
