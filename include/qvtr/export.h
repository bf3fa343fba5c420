// Symbol visibility of the layer's public interface.
#pragma once

#if defined(QVTR_STATIC)
#define QVTR_API
#elif defined(_WIN32)
#if defined(QVTR_BUILDING)
#define QVTR_API __declspec(dllexport)
#else
#define QVTR_API __declspec(dllimport)
#endif
#else
#define QVTR_API __attribute__((visibility("default")))
#endif
