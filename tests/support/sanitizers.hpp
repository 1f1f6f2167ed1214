// Whether this test was built with ThreadSanitizer, whose runtime cannot run some child processes
// (behind stdbuf's preloaded library, or under a file-size limit).
#pragma once

namespace friendly_test {

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif
#else
inline constexpr bool kThreadSanitizer = false;
#endif

}  // namespace friendly_test
