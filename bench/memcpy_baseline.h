// The baseline most figures stand next to: one memcpy of the same bytes,
// kept from being optimised away.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstring>
#include <span>

namespace x9tr::bench {

inline void CopyOnce(std::span<const std::byte> from, std::span<std::byte> to)
{
    const std::byte* source = from.data();
    benchmark::DoNotOptimize(source);
    std::memcpy(to.data(), source, from.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
}

} // namespace x9tr::bench
