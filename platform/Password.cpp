#include "host/Password.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>

#include "host/Files.h"
#include "host/LogWriter.h"
#include "host/Platform.h"

namespace {

constexpr std::string_view kPrefix = "v1:";
// Binds the ciphertext to this format, so text of another format version
// never decrypts by accident.
constexpr std::string_view kAssociatedData = "TWPassword/v1";
constexpr size_t kKeySize = 32;
constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;

using Key = std::vector<unsigned char>;

struct KeyCache {
    std::mutex mutex;
    std::map<std::string, Key> byPath;
};

KeyCache& Keys() {
    static KeyCache* cache = new KeyCache();
    return *cache;
}

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64Encode(const unsigned char* data, size_t size) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        uint32_t chunk = static_cast<uint32_t>(data[i]) << 16;
        if (i + 1 < size) chunk |= static_cast<uint32_t>(data[i + 1]) << 8;
        if (i + 2 < size) chunk |= data[i + 2];
        out += kAlphabet[(chunk >> 18) & 63];
        out += kAlphabet[(chunk >> 12) & 63];
        out += i + 1 < size ? kAlphabet[(chunk >> 6) & 63] : '=';
        out += i + 2 < size ? kAlphabet[chunk & 63] : '=';
    }
    return out;
}

// Strict: only the standard alphabet, padded to a multiple of four.
bool Base64Decode(std::string_view text, std::vector<unsigned char>& out) {
    out.clear();
    if (text.size() % 4 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t chunk = 0;
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            char c = text[i + j];
            uint32_t sextet = 0;
            if (c == '=') {
                // Padding only at the very end, at most two.
                if (i + 4 != text.size() || j < 2) return false;
                ++padding;
            } else {
                if (padding) return false;
                const char* at = std::strchr(kAlphabet, c);
                if (!at || c == '\0') return false;
                sextet = static_cast<uint32_t>(at - kAlphabet);
            }
            chunk = (chunk << 6) | sextet;
        }
        out.push_back(static_cast<unsigned char>(chunk >> 16));
        if (padding < 2) out.push_back(static_cast<unsigned char>(chunk >> 8));
        if (padding < 1) out.push_back(static_cast<unsigned char>(chunk));
    }
    return true;
}

CZuError ReadKey(const std::string& path, Key& key) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot open key file [%s]", path.c_str());
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) != 0 ||
        static_cast<size_t>(st.st_size) != kKeySize) {
        ::close(fd);
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData,
                                       "key file [%s] must be a regular file of %zu bytes readable by its "
                                       "owner only",
                                       path.c_str(), kKeySize);
    }
    key.assign(kKeySize, 0);
    ssize_t n = ::read(fd, key.data(), kKeySize);
    ::close(fd);
    if (n != static_cast<ssize_t>(kKeySize))
        return FXErrorUtil::ErrorErrNo(FXLOC, n < 0 ? errno : EIO, "cannot read key file [%s]", path.c_str());
    return CZuError::Success();
}

// Writes a fresh key under a temporary name and links it into place, so that
// of two processes creating the key at once exactly one wins and both use it.
CZuError CreateKey(const std::string& dir, const std::string& path) {
    unsigned char key[kKeySize];
    if (RAND_bytes(key, sizeof key) != 1)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed, "no random bytes for a new key");
    std::string temp = FXPath::Join(dir, ".password.key.XXXXXX");
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0) {
        OPENSSL_cleanse(key, sizeof key);
        return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot create a key file in [%s]", dir.c_str());
    }
    bool written = ::write(fd, key, sizeof key) == static_cast<ssize_t>(sizeof key) && ::fsync(fd) == 0;
    int writeErrno = errno;
    ::close(fd);
    OPENSSL_cleanse(key, sizeof key);
    CZuError err;
    if (!written)
        err = FXErrorUtil::ErrorErrNo(FXLOC, writeErrno, "cannot write key file [%s]", temp.c_str());
    else if (::link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST)
        err = FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot install key file [%s]", path.c_str());
    ::unlink(temp.c_str());
    if (!err) {
        int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            ::fsync(dirFd);
            ::close(dirFd);
        }
    }
    return err;
}

// The key of the current state root; created when `create` and missing.
CZuError GetKey(bool create, Key& key) {
    std::string root;
    CZuError err = TWPI_PlatformBase::GetExistingStateRoot(root);
    if (err) return err.Push(FXLOC);
    std::string dir = FXPath::Join(root, "keys");
    std::string path = FXPath::Join(dir, "password.key");
    KeyCache& cache = Keys();
    std::lock_guard<std::mutex> lock(cache.mutex);
    auto cached = cache.byPath.find(path);
    if (cached != cache.byPath.end()) {
        key = cached->second;
        return CZuError::Success();
    }
    if (!FXFile::Exists(path)) {
        if (!create) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "no key file [%s]", path.c_str());
        err = CZuDirectory::Create(dir, 0700);
        if (!err) err = CreateKey(dir, path);
        if (err) return err.Push(FXLOC);
    }
    err = ReadKey(path, key);
    if (err) return err.Push(FXLOC);
    cache.byPath[path] = key;
    return CZuError::Success();
}

struct CipherContext {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ~CipherContext() { EVP_CIPHER_CTX_free(ctx); }
};

}  // namespace

bool TWPassword::IsProtectedText(const std::string& text) {
    std::vector<unsigned char> raw;
    return text.compare(0, kPrefix.size(), kPrefix) == 0 &&
           Base64Decode(std::string_view(text).substr(kPrefix.size()), raw) && raw.size() >= kNonceSize + kTagSize;
}

bool TWPassword::encrypt(const std::string& clear, std::string& text) {
    Key key;
    CZuError err = GetKey(true, key);
    if (err) {
        ZULOG_ERROR("Cannot protect a password: %s", err.AsString().c_str());
        return false;
    }
    std::vector<unsigned char> raw(kNonceSize + clear.size() + kTagSize);
    unsigned char* nonce = raw.data();
    unsigned char* cipher = nonce + kNonceSize;
    unsigned char* tag = cipher + clear.size();
    CipherContext c;
    int outLength = 0;
    int finalLength = 0;
    bool ok = c.ctx && RAND_bytes(nonce, kNonceSize) == 1 &&
              EVP_EncryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, key.data(), nonce) == 1 &&
              EVP_EncryptUpdate(c.ctx, nullptr, &outLength,
                                reinterpret_cast<const unsigned char*>(kAssociatedData.data()),
                                static_cast<int>(kAssociatedData.size())) == 1 &&
              EVP_EncryptUpdate(c.ctx, cipher, &outLength, reinterpret_cast<const unsigned char*>(clear.data()),
                                static_cast<int>(clear.size())) == 1 &&
              EVP_EncryptFinal_ex(c.ctx, cipher + outLength, &finalLength) == 1 &&
              EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_GET_TAG, kTagSize, tag) == 1;
    OPENSSL_cleanse(key.data(), key.size());
    if (!ok) {
        ZULOG_ERROR("Cannot protect a password: encryption failed");
        return false;
    }
    text = std::string(kPrefix) + Base64Encode(raw.data(), raw.size());
    return true;
}

bool TWPassword::decrypt(const std::string& text, std::string& clear) {
    std::vector<unsigned char> raw;
    if (text.compare(0, kPrefix.size(), kPrefix) != 0 ||
        !Base64Decode(std::string_view(text).substr(kPrefix.size()), raw) || raw.size() < kNonceSize + kTagSize) {
        ZULOG(2, "Protected password text is malformed");
        return false;
    }
    Key key;
    CZuError err = GetKey(false, key);
    if (err) {
        ZULOG_ERROR("Cannot read the password key: %s", err.AsString().c_str());
        return false;
    }
    const unsigned char* nonce = raw.data();
    const unsigned char* cipher = nonce + kNonceSize;
    size_t cipherSize = raw.size() - kNonceSize - kTagSize;
    unsigned char* tag = raw.data() + kNonceSize + cipherSize;
    std::vector<unsigned char> plain(cipherSize + 1);
    CipherContext c;
    int outLength = 0;
    int finalLength = 0;
    bool ok = c.ctx && EVP_DecryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, key.data(), nonce) == 1 &&
              EVP_DecryptUpdate(c.ctx, nullptr, &outLength,
                                reinterpret_cast<const unsigned char*>(kAssociatedData.data()),
                                static_cast<int>(kAssociatedData.size())) == 1 &&
              EVP_DecryptUpdate(c.ctx, plain.data(), &outLength, cipher, static_cast<int>(cipherSize)) == 1 &&
              EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_TAG, kTagSize, tag) == 1 &&
              EVP_DecryptFinal_ex(c.ctx, plain.data() + outLength, &finalLength) == 1;
    OPENSSL_cleanse(key.data(), key.size());
    if (!ok) {
        OPENSSL_cleanse(plain.data(), plain.size());
        ZULOG(2, "Protected password text does not verify under this state root's key");
        return false;
    }
    clear.assign(reinterpret_cast<const char*>(plain.data()), static_cast<size_t>(outLength + finalLength));
    OPENSSL_cleanse(plain.data(), plain.size());
    return true;
}

bool TWPassword::decrypt(const std::string& text, char* buffer, size_t& length) {
    std::string clear;
    if (!buffer || !decrypt(text, clear)) return false;
    bool fits = clear.size() < length;
    if (fits) {
        std::memcpy(buffer, clear.data(), clear.size());
        buffer[clear.size()] = '\0';
        length = clear.size();
    } else {
        ZULOG_ERROR("Password does not fit a buffer of %zu bytes", length);
    }
    OPENSSL_cleanse(clear.data(), clear.size());
    return fits;
}
