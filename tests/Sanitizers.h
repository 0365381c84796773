// Whether a test program runs under AddressSanitizer or ThreadSanitizer, whose runtimes take
// address space, memory and descriptors of their own: tests that lower those limits for the
// program under test skip themselves there. gcc tells by a macro, clang by __has_feature.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TINTABREL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TINTABREL_SANITIZED 1
#endif
#endif
