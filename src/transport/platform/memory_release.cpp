#include "transport/platform/memory_release.h"

#include <malloc.h>

namespace parlivo {

void ReturnFreedMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace parlivo
