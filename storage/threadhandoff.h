#pragma once

// ThreadSanitizer cannot see the ordering that Qt's queued calls and thread ends give, since Qt is not
// built with it: where this program hands data from one thread to another that way, it says so here.
// Nothing in other builds.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);
#endif

namespace handoff {

// Everything written before release(at) on one thread is seen by another after its acquire(at).
inline void release([[maybe_unused]] const void *at)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_release(const_cast<void *>(at));
#endif
}

inline void acquire([[maybe_unused]] const void *at)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(const_cast<void *>(at));
#endif
}

} // namespace handoff
