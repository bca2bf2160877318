// Giving memory back to the system once a long record has passed.
#pragma once

#include <malloc.h>

namespace isort::app {

// glibc keeps freed memory in its arenas for reuse, and after a large
// buffer is freed it serves later ones of up to that size (at most 32 MiB)
// from the arenas too. A long record's buffers freed on a sorting thread
// stayed resident beside the engine's budget: W1 with three 30 MB values
// peaked at 630 MiB under en_US with a budget of 512 MiB, 58 MiB of it in one
// thread's arena. Returning free pages after such a record costs a walk of
// the arenas; a fixed mmap threshold instead slowed W1 from 7 s to 10-15 s.
inline void ReturnFreedMemory() { malloc_trim(0); }

}  // namespace isort::app
