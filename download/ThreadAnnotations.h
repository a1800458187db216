// Clang thread-safety attributes for the engine's own lock classes (no-ops elsewhere).
#pragma once

#if defined(__clang__)
#define ENGINE_TSA(x) __attribute__((x))
#else
#define ENGINE_TSA(x)
#endif

#define ENGINE_CAPABILITY(x) ENGINE_TSA(capability(x))
#define ENGINE_SCOPED_CAPABILITY ENGINE_TSA(scoped_lockable)
#define ENGINE_GUARDED_BY(x) ENGINE_TSA(guarded_by(x))
#define ENGINE_PT_GUARDED_BY(x) ENGINE_TSA(pt_guarded_by(x))
#define ENGINE_REQUIRES(...) ENGINE_TSA(requires_capability(__VA_ARGS__))
#define ENGINE_ACQUIRE(...) ENGINE_TSA(acquire_capability(__VA_ARGS__))
#define ENGINE_RELEASE(...) ENGINE_TSA(release_capability(__VA_ARGS__))
#define ENGINE_EXCLUDES(...) ENGINE_TSA(locks_excluded(__VA_ARGS__))
#define ENGINE_NO_THREAD_SAFETY_ANALYSIS ENGINE_TSA(no_thread_safety_analysis)
