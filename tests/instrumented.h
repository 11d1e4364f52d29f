// Whether this test runs under AddressSanitizer or ThreadSanitizer: the
// server is several times slower there, and its memory maps are the
// sanitizer's as much as its own.
#ifndef CAPECHO_TESTS_INSTRUMENTED_H
#define CAPECHO_TESTS_INSTRUMENTED_H

namespace capecho_test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool instrumented = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool instrumented = true;
#else
inline constexpr bool instrumented = false;
#endif
#else
inline constexpr bool instrumented = false;
#endif

}  // namespace capecho_test

#endif  // CAPECHO_TESTS_INSTRUMENTED_H
