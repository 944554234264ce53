// Whether this build runs under AddressSanitizer or ThreadSanitizer: their
// shadow memory needs more address space than a test's limit leaves, and
// valgrind cannot run either.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SANITIZED_BUILD 1
#endif
#endif
#ifndef SANITIZED_BUILD
#define SANITIZED_BUILD 0
#endif
