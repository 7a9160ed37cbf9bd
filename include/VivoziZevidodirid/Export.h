#pragma once

// Everything not marked with VZ_EXPORT stays inside the library (built with hidden visibility).
#if defined(__GNUC__)
#define VZ_EXPORT __attribute__((visibility("default")))
#else
#define VZ_EXPORT
#endif
