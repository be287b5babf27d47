#pragma once

// CHROMALOOM_ADDRESS_SANITIZER is 1 in a build under the address sanitizer, whichever compiler made it
// (g++ says so with __SANITIZE_ADDRESS__, clang++ through __has_feature), and 0 otherwise.
#if defined(__SANITIZE_ADDRESS__)
#define CHROMALOOM_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CHROMALOOM_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef CHROMALOOM_ADDRESS_SANITIZER
#define CHROMALOOM_ADDRESS_SANITIZER 0
#endif
