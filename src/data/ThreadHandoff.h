#pragma once

// Work crosses between the window's thread and the database thread through Qt's event queue.
// Qt is not built with ThreadSanitizer, so the locks inside that queue are invisible to it; each
// hand-over is announced here (a release before posting, an acquire on arrival). Without the
// sanitizer these compile to nothing.

#if defined(__SANITIZE_THREAD__)
#define CHONGMA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CHONGMA_TSAN 1
#endif
#endif

#ifdef CHONGMA_TSAN
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
#endif

namespace chongma::handoff {

#ifdef CHONGMA_TSAN
inline char token;
inline void release() { __tsan_release(&token); }
inline void acquire() { __tsan_acquire(&token); }
#else
inline void release() {}
inline void acquire() {}
#endif

} // namespace chongma::handoff
