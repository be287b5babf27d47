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

// CHROMALOOM_THREAD_SANITIZER is 1 in a build under the thread sanitizer, by either compiler, and 0
// otherwise: its shadow memory makes a run's peak memory meaningless.
#if defined(__SANITIZE_THREAD__)
#define CHROMALOOM_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CHROMALOOM_THREAD_SANITIZER 1
#endif
#endif
#ifndef CHROMALOOM_THREAD_SANITIZER
#define CHROMALOOM_THREAD_SANITIZER 0
#endif
