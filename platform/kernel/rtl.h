// The kernel's memory routines.
#pragma once

#include "platform/kernel/ntdef.h"

#include <cstring>

inline void RtlZeroMemory(void* Destination, SIZE_T Length)
{
    if (Length != 0) {
        std::memset(Destination, 0, Length);
    }
}

inline void RtlCopyMemory(void* Destination, const void* Source, SIZE_T Length)
{
    if (Length != 0) {
        std::memcpy(Destination, Source, Length);
    }
}

inline void RtlMoveMemory(void* Destination, const void* Source, SIZE_T Length)
{
    if (Length != 0) {
        std::memmove(Destination, Source, Length);
    }
}

// How many leading bytes of the two blocks are equal.
inline SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length)
{
    const auto* a = static_cast<const UCHAR*>(Source1);
    const auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        ++i;
    }
    return i;
}
