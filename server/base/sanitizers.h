// Which sanitizers instrument this build, and the calls that tell them the
// running stack changed.
#ifndef CAPECHO_SERVER_SANITIZERS_H
#define CAPECHO_SERVER_SANITIZERS_H

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CAPECHO_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define CAPECHO_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define CAPECHO_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define CAPECHO_TSAN 1
#endif
#ifdef CAPECHO_ASAN
#include <sanitizer/asan_interface.h>
#endif
#ifdef CAPECHO_TSAN
#include <sanitizer/tsan_interface.h>
#endif

#if defined(CAPECHO_ASAN) || defined(CAPECHO_TSAN)
#define CAPECHO_INSTRUMENTED 1
#endif

// UndefinedBehaviorSanitizer's vptr check tests that memory is readable
// through a pipe it opens, which fails when the server has run out of
// descriptors (a state it must survive), and then reports a valid object as
// invalid. A session's calls to its scheduler, made in that state, go
// without it.
#if defined(__clang__) || defined(__GNUC__)
#define CAPECHO_NO_VPTR_CHECK __attribute__((no_sanitize("vptr")))
#else
#define CAPECHO_NO_VPTR_CHECK
#endif

#endif  // CAPECHO_SERVER_SANITIZERS_H
