// The FNV-1a hash of a run of bytes: labels and GPU ids told apart in
// bounded memory, and the append record's check of its bytes.
#ifndef ENERGY_TOTALS_FNV_HASH_H
#define ENERGY_TOTALS_FNV_HASH_H

#include <cstddef>
#include <cstdint>

inline uint64_t hash_bytes(const char* p, size_t n)
{
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < n; ++i)
        h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
    return h;
}

#endif
