// Symbol visibility of the public API, C and C++: the shared library
// exports only what carries EPISODE_GROUPER_API.
#pragma once

#if defined(_WIN32)
#define EPISODE_GROUPER_API
#else
#define EPISODE_GROUPER_API __attribute__((visibility("default")))
#endif
