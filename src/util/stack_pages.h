// Stack pages that a deep step (an install, a cut of the run file, a shell
// command) left resident are given back once the step is done, so that they
// do not count against the gateway's memory for the rest of the process's
// life. The buffers those steps use keep their sizes.
#pragma once

#include <cstddef>
#include <cstdint>

// How far below the caller's frame the main thread's deepest step reaches.
constexpr size_t MAIN_STACK_RELEASE_SPAN = 64 * 1024;

// Releases the whole pages in [lowest, the caller's frame), keeping the page
// of the caller's frame and the one below it for the calls still to come.
// The released pages read as zero when they are next used. Only for memory
// below every live frame of the calling thread.
void release_stack_below(uintptr_t lowest);

// The same for the main thread, MAIN_STACK_RELEASE_SPAN below the caller.
void release_main_stack();

// The lowest address of the calling thread's stack, or 0 when unknown.
uintptr_t thread_stack_bottom();
