#pragma once
// Shared by the fuzz targets: each target defines LLVMFuzzerTestOneInput and checks its
// properties with FUZZ_CHECK, which aborts (so libFuzzer keeps the input as a crash, and the
// corpus replay fails) and says which property broke.

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
