#include "heap.h"

// <cstdlib> brings in the C library's feature macros that tell which library this is.
#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

void heap_release_free()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}
