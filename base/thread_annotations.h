#pragma once

// Lock rules the compiler checks. Under Clang with -Wthread-safety an access
// to a GUARDED_BY field without its mutex, or a call of a REQUIRES function
// without the lock, fails the build; other compilers see nothing.

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

// A type that is a lock.
#define CAPABILITY(name) THREAD_ANNOTATION(capability(name))
// A type whose objects hold a lock for their lifetime.
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)

// Fields: read and written only with the lock held (PT_: what the pointer
// points to).
#define GUARDED_BY(lock)    THREAD_ANNOTATION(guarded_by(lock))
#define PT_GUARDED_BY(lock) THREAD_ANNOTATION(pt_guarded_by(lock))

// Functions: the caller holds the lock (exclusively or shared), or must not.
#define REQUIRES(...)        THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define EXCLUDES(...)        THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// Functions that take or give back a lock.
#define ACQUIRE(...)            THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...)     THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...)            THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...)     THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...)    THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(lock) THREAD_ANNOTATION(assert_capability(lock))
#define RETURN_CAPABILITY(lock) THREAD_ANNOTATION(lock_returned(lock))

// For the rare function whose locking the analysis cannot follow; say why
// where it is used.
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)
