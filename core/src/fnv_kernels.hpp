// Bulk FNV-1a 64 over long buffers, exact to the byte-at-a-time definition,
// with kernels for the processor's vector units chosen once at run time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ordwyne::rng {

enum class FnvKernel { Portable, Avx2, Avx512 };

// Whether this processor (and this build) can run the kernel.
bool fnv_kernel_available(FnvKernel kernel);

// FNV-1a 64 continued from state `h` over `n` bytes with the named kernel.
// The kernel must be available.
std::uint64_t fnv1a_with(FnvKernel kernel, std::uint64_t h, const std::uint8_t* p,
                         std::size_t n);

// The kernel fnv1a_bulk runs: the widest available one, or the portable one
// while force_portable_fnv(true) is in effect.
FnvKernel fnv_active_kernel();

}  // namespace ordwyne::rng
