// How long a quit may take at most: half a second, with room for the
// slowdown of a sanitizer build (its thread joins and allocations are
// several times slower). Tests hold back the answers a quit must not wait
// for far longer than this.
#pragma once

#include <chrono>

namespace tarnwell::testing {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr std::chrono::milliseconds kQuitBound{1500};
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr std::chrono::milliseconds kQuitBound{1500};
#else
inline constexpr std::chrono::milliseconds kQuitBound{500};
#endif
#else
inline constexpr std::chrono::milliseconds kQuitBound{500};
#endif

} // namespace tarnwell::testing
