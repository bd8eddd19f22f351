#include "core/HeapArenas.h"

#include <malloc.h>

void LimitHeapArenas() {
    mallopt(M_ARENA_MAX, 1);
}
