#include "rng.hpp"

namespace ordwyne::rng {

std::uint64_t derive_key(std::string_view first, std::string_view second) {
    Fnv1a h;
    h.u64(first.size());
    h.bytes(first);
    h.bytes(second);
    return h.state;
}

}  // namespace ordwyne::rng
