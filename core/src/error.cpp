#include "error.hpp"

namespace ordwyne::error {

Error make(std::string_view text) { return Error{std::string(text)}; }

Error unsupported_version(std::uint64_t version) {
    std::string text(kVersionPrefix);
    text += std::to_string(version);
    return Error{std::move(text)};
}

}  // namespace ordwyne::error
