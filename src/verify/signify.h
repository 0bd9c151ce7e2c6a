// The key and signature files of signify and usign: a line "untrusted
// comment: ...", then one line of base64 holding "Ed" (Ed25519), an 8-byte
// key number and the key (32 bytes) or the signature (64 bytes).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t SIGNIFY_KEYNUM_SIZE = 8;
constexpr size_t SIGNIFY_PUBLIC_KEY_SIZE = 2 + SIGNIFY_KEYNUM_SIZE + 32;
constexpr size_t SIGNIFY_SIGNATURE_SIZE = 2 + SIGNIFY_KEYNUM_SIZE + 64;

// Decodes text (len bytes) into out, which must then hold exactly size
// bytes starting with "Ed"; false for anything else.
bool decode_signify(const char* text, size_t len, uint8_t* out, size_t size);
