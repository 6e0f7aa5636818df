#pragma once
// Protected form of secrets (database passwords, key passwords): authenticated
// encryption (AES-256-GCM) under a key generated once per state root.
// Protected text reads "v1:" followed by base64 of nonce, ciphertext and tag.
#include <cstddef>
#include <string>

class TWPassword {
public:
    // Writes the clear text into `buffer` (NUL-terminated) and its length into
    // `length` (in: buffer size). False on tampered, foreign or malformed text,
    // or when the buffer is too small.
    static bool decrypt(const std::string& text, char* buffer, size_t& length);
    static bool decrypt(const std::string& text, std::string& clear);
    // Creates the state root's key on first use. False when no key can be
    // read or created.
    static bool encrypt(const std::string& clear, std::string& text);
    // Whether `text` has the shape of protected text (says nothing about the key).
    static bool IsProtectedText(const std::string& text);
};
