// Whether this build runs under AddressSanitizer: its shadow memory needs
// more address space than a test's limit leaves, and valgrind cannot run it.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SANITIZED_BUILD 1
#endif
#endif
#ifndef SANITIZED_BUILD
#define SANITIZED_BUILD 0
#endif
