#include "util/stack_pages.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Asked each time: a guarded static needs a C++ runtime the musl build lacks.
uintptr_t page_size()
{
    return static_cast<uintptr_t>(getpagesize());
}

} // namespace

// Never inlined: its frame must lie below every frame of its caller.
__attribute__((noinline)) void release_stack_below(uintptr_t lowest)
{
    uintptr_t page = page_size();
    // The real frame, also where a sanitizer keeps locals elsewhere.
    uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    uintptr_t keep = (here & ~(page - 1)) - page;
    lowest = (lowest + page - 1) & ~(page - 1);
    if (lowest == 0 || keep <= lowest)
        return;
    madvise(reinterpret_cast<void*>(lowest), keep - lowest, MADV_DONTNEED);
}

__attribute__((noinline)) void release_main_stack()
{
    uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (here > MAIN_STACK_RELEASE_SPAN)
        release_stack_below(here - MAIN_STACK_RELEASE_SPAN);
}

uintptr_t thread_stack_bottom()
{
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return 0;
    void* addr = nullptr;
    size_t size = 0;
    int got = pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    return got == 0 ? reinterpret_cast<uintptr_t>(addr) : 0;
}
