// Clang thread-safety attributes for the project's own lock classes; empty for other compilers.
#pragma once

#if defined(__clang__)
#define ZEZU_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZEZU_THREAD_ANNOTATION(x)
#endif

#define ZEZU_CAPABILITY(x) ZEZU_THREAD_ANNOTATION(capability(x))
#define ZEZU_SCOPED_CAPABILITY ZEZU_THREAD_ANNOTATION(scoped_lockable)
#define ZEZU_GUARDED_BY(x) ZEZU_THREAD_ANNOTATION(guarded_by(x))
#define ZEZU_PT_GUARDED_BY(x) ZEZU_THREAD_ANNOTATION(pt_guarded_by(x))
#define ZEZU_REQUIRES(...) ZEZU_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ZEZU_ACQUIRE(...) ZEZU_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ZEZU_RELEASE(...) ZEZU_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ZEZU_EXCLUDES(...) ZEZU_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ZEZU_NO_THREAD_SAFETY_ANALYSIS ZEZU_THREAD_ANNOTATION(no_thread_safety_analysis)
