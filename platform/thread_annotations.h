// Clang thread-safety annotations.
//
// Under clang the build compiles with -Wthread-safety, and these macros let
// the compiler check that data is only touched with its lock held:
//
//   class Counter {
//    public:
//     void Add(int n) EXCLUDES(mu_) {
//       platform::MutexLock lock(&mu_);
//       value_ += n;
//     }
//    private:
//     platform::Mutex mu_;
//     int value_ GUARDED_BY(mu_) = 0;
//   };
//
// On other compilers every macro expands to nothing, so annotated code builds
// unchanged there. The annotations describe a contract; they never change the
// generated code.
#ifndef USERPOLICY_PLATFORM_THREAD_ANNOTATIONS_H_
#define USERPOLICY_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define USERPOLICY_THREAD_ANNOTATION_(x) __attribute__((x))
#else
#define USERPOLICY_THREAD_ANNOTATION_(x)
#endif

// A class whose instances are locks ("capabilities"), e.g. a mutex.
#ifndef CAPABILITY
#define CAPABILITY(x) USERPOLICY_THREAD_ANNOTATION_(capability(x))
#endif

// An RAII class that acquires a capability in its constructor and releases it
// in its destructor.
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY USERPOLICY_THREAD_ANNOTATION_(scoped_lockable)
#endif

// The member may only be read or written while holding `x`.
#ifndef GUARDED_BY
#define GUARDED_BY(x) USERPOLICY_THREAD_ANNOTATION_(guarded_by(x))
#endif

// The data the pointer member points to is protected by `x` (the pointer
// itself is not).
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) USERPOLICY_THREAD_ANNOTATION_(pt_guarded_by(x))
#endif

// Lock ordering: this lock must be acquired after / before the listed ones.
#ifndef ACQUIRED_AFTER
#define ACQUIRED_AFTER(...) USERPOLICY_THREAD_ANNOTATION_(acquired_after(__VA_ARGS__))
#endif
#ifndef ACQUIRED_BEFORE
#define ACQUIRED_BEFORE(...) USERPOLICY_THREAD_ANNOTATION_(acquired_before(__VA_ARGS__))
#endif

// The function must be called with the listed capabilities held (exclusively
// or shared) and does not release them.
#ifndef REQUIRES
#define REQUIRES(...) USERPOLICY_THREAD_ANNOTATION_(requires_capability(__VA_ARGS__))
#endif
#ifndef REQUIRES_SHARED
#define REQUIRES_SHARED(...) \
  USERPOLICY_THREAD_ANNOTATION_(requires_shared_capability(__VA_ARGS__))
#endif

// The function acquires / releases the listed capabilities (or `this` when
// the list is empty).
#ifndef ACQUIRE
#define ACQUIRE(...) USERPOLICY_THREAD_ANNOTATION_(acquire_capability(__VA_ARGS__))
#endif
#ifndef ACQUIRE_SHARED
#define ACQUIRE_SHARED(...) \
  USERPOLICY_THREAD_ANNOTATION_(acquire_shared_capability(__VA_ARGS__))
#endif
#ifndef RELEASE
#define RELEASE(...) USERPOLICY_THREAD_ANNOTATION_(release_capability(__VA_ARGS__))
#endif
#ifndef RELEASE_SHARED
#define RELEASE_SHARED(...) \
  USERPOLICY_THREAD_ANNOTATION_(release_shared_capability(__VA_ARGS__))
#endif

// The function tries to acquire the capability and returns `result` (e.g.
// true) when it succeeded.
#ifndef TRY_ACQUIRE
#define TRY_ACQUIRE(...) USERPOLICY_THREAD_ANNOTATION_(try_acquire_capability(__VA_ARGS__))
#endif
#ifndef TRY_ACQUIRE_SHARED
#define TRY_ACQUIRE_SHARED(...) \
  USERPOLICY_THREAD_ANNOTATION_(try_acquire_shared_capability(__VA_ARGS__))
#endif

// The caller must NOT hold the listed capabilities (the function acquires
// them itself; holding them would deadlock).
#ifndef EXCLUDES
#define EXCLUDES(...) USERPOLICY_THREAD_ANNOTATION_(locks_excluded(__VA_ARGS__))
#endif

// Runtime check that the capability is held; the analysis assumes it after.
#ifndef ASSERT_CAPABILITY
#define ASSERT_CAPABILITY(x) USERPOLICY_THREAD_ANNOTATION_(assert_capability(x))
#endif

// The function returns a reference to the given capability.
#ifndef RETURN_CAPABILITY
#define RETURN_CAPABILITY(x) USERPOLICY_THREAD_ANNOTATION_(lock_returned(x))
#endif

// Turns the analysis off for one function. Use sparingly, with a comment
// saying why the function is safe.
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS USERPOLICY_THREAD_ANNOTATION_(no_thread_safety_analysis)
#endif

#endif  // USERPOLICY_PLATFORM_THREAD_ANNOTATIONS_H_
