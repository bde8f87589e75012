// Clang's thread-safety annotations: what a lock guards and which functions
// need it held.  A clang build with -Wthread-safety checks them
// (scripts/check.sh); other compilers see nothing.
#pragma once

#if defined(__clang__)
#define DTU_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define DTU_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) DTU_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY DTU_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) DTU_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) DTU_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) DTU_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) DTU_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) DTU_THREAD_ANNOTATION(assert_capability(x))
#define EXCLUDES(...) DTU_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
