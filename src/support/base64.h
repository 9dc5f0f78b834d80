#pragma once
// Strict RFC 4648 base64: the standard alphabet, canonical "=" padding, no
// other character anywhere, and zero bits where the last symbol carries no
// data. Hand-written because the libraries at hand (OpenSSL's EVP decoder,
// CryptStringToBinary) accept white space and non-canonical padding.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tph {

// The decoded bytes, or nothing when the text is not strict base64.
std::optional<std::string> decode_base64_strict(std::string_view text);

// `bytes` in the standard alphabet with "=" padding.
std::string encode_base64(std::string_view bytes);

}  // namespace tph
