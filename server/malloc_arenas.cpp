#include "malloc_arenas.h"

#include <malloc.h>

namespace capecho {

bool share_malloc_arenas() {
#ifdef M_ARENA_MAX
  // Called before any other thread exists.
  return mallopt(M_ARENA_MAX, 1) == 1;  // NOLINT(concurrency-mt-unsafe)
#else
  return true;
#endif
}

}  // namespace capecho
