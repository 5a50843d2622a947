// Clang's thread-safety attributes under short names, so that a class states which lock guards
// which field and the compiler checks it (scripts/thread-safety.sh builds with -Wthread-safety).
// Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define QL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QL_THREAD_ANNOTATION(x)
#endif

// On a class: objects of it are locks.
#define CAPABILITY(name) QL_THREAD_ANNOTATION(capability(name))
// On a class: an RAII holder that takes a lock in its constructor and drops it in its destructor.
#define SCOPED_CAPABILITY QL_THREAD_ANNOTATION(scoped_lockable)
// On a field: read and written only with the lock held.
#define GUARDED_BY(lock) QL_THREAD_ANNOTATION(guarded_by(lock))
// On a function: callers must hold the lock / must not hold it.
#define REQUIRES(...) QL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// On a function: it takes / drops the lock.
#define ACQUIRE(...) QL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
