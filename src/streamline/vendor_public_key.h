#pragma once
#include <cstddef>
#include <cstdint>

namespace fsr2bridge {

// RSA-3072 public key, as a CNG BCRYPT_RSAKEY_BLOB (24-byte header, exponent,
// modulus), that the interposer's nested signature must have been made with.
// The shipped DLL links vendor_public_key.cpp; test builds link a test key.
inline constexpr std::size_t vendorPublicKeySize = 411;
extern const std::uint8_t vendorPublicKey[vendorPublicKeySize];

} // namespace fsr2bridge
