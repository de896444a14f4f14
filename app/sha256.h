#pragma once
// SHA-256 (FIPS 180-4) of a byte string: the fingerprint of the embedded
// firmware that "--version" and the report name.

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace qv {

std::array<std::uint8_t, 32> Sha256(std::span<const std::uint8_t> data);

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::span<const std::uint8_t> data);

}  // namespace qv
