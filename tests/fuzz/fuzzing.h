#pragma once
// Shared by the fuzz targets: each target defines LLVMFuzzerTestOneInput and checks its
// properties with FUZZ_CHECK, which aborts (so libFuzzer keeps the input as a crash, and the
// corpus replay fails) and says which property broke.

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                                           \
    do {                                                                                    \
        if (!(condition)) {                                                                 \
            std::fprintf(stderr, "%s:%d: property broken: %s\n  ", __FILE__, __LINE__, #condition); \
            std::fprintf(stderr, __VA_ARGS__);                                              \
            std::fprintf(stderr, "\n");                                                     \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)


extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// The input as bytes (a copy: the reference models below take it apart).
inline QByteArray fuzzInput(const uint8_t *data, size_t size) { return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)); }

// A hexadecimal digit's value, or -1: the reference for the readers of hexadecimal texts.
inline int hexDigit(char16_t c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}
