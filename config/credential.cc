// Stored form of a password: hex(nonce[12] | cipher text | tag[16]) with AES-128-GCM. The
// clear text is enciphered together with a terminating NUL, so a 31-byte password gives
// 12 + 32 + 16 = 60 bytes, 120 hex digits, within the 127 characters a stored value uses.
// The key is the MD5 digest of the 16-byte key block: "K7M4W9" followed by ten zero bytes.
// The authentication tag makes every value that was not produced here fail to decipher.
#include "config/credential.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "config/records.h"
#include "platform/text.h"

namespace norvane {
namespace {

constexpr char kKeyString[] = "K7M4W9";
constexpr std::size_t kKeyBlockBytes = 16;
constexpr std::size_t kNonceBytes = 12;
constexpr std::size_t kTagBytes = 16;

using Key = std::array<unsigned char, 16>;

// Wipes a buffer that held clear text on every way out of a scope.
struct Cleanser {
  void* data;
  std::size_t size;
  ~Cleanser() {
    if (data && size) OPENSSL_cleanse(data, size);
  }
};

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

bool DeriveKey(Key& key) {
  unsigned char block[kKeyBlockBytes] = {};
  std::memcpy(block, kKeyString, sizeof kKeyString - 1);
  unsigned int length = 0;
  return EVP_Digest(block, sizeof block, key.data(), &length, EVP_md5(), nullptr) == 1 &&
         length == key.size();
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool EncryptPassword(std::string_view clear, std::string& stored) {
  stored.clear();
  if (clear.empty()) return true;

  // The clear text with its NUL, cut to what a record can hold.
  std::string plain = CutToBytes(clear, kPasswordBytes);
  plain.push_back('\0');
  Cleanser wipe_plain{plain.data(), plain.size()};

  Key key;
  Cleanser wipe_key{key.data(), key.size()};
  if (!DeriveKey(key)) return false;

  std::vector<unsigned char> out(kNonceBytes + plain.size() + kTagBytes);
  if (RAND_bytes(out.data(), static_cast<int>(kNonceBytes)) != 1) return false;

  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  int length = 0;
  int final_length = 0;
  bool ok = EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_gcm(), nullptr, nullptr, nullptr) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceBytes),
                                nullptr) == 1 &&
            EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), out.data()) == 1 &&
            EVP_EncryptUpdate(ctx.get(), out.data() + kNonceBytes, &length,
                              reinterpret_cast<const unsigned char*>(plain.data()),
                              static_cast<int>(plain.size())) == 1 &&
            EVP_EncryptFinal_ex(ctx.get(), out.data() + kNonceBytes + length, &final_length) == 1 &&
            static_cast<std::size_t>(length + final_length) == plain.size() &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes),
                                out.data() + kNonceBytes + plain.size()) == 1;
  if (!ok) return false;

  static constexpr char kHex[] = "0123456789ABCDEF";
  stored.reserve(out.size() * 2);
  for (unsigned char byte : out) {
    stored.push_back(kHex[byte >> 4]);
    stored.push_back(kHex[byte & 0x0F]);
  }
  return true;
}

bool DecryptPassword(std::string& text) {
  if (text.empty()) return true;
  if (text.size() % 2 != 0) return false;
  const std::size_t bytes = text.size() / 2;
  if (bytes < kNonceBytes + 1 + kTagBytes) return false;

  std::vector<unsigned char> raw(bytes);
  for (std::size_t i = 0; i < bytes; ++i) {
    int high = HexDigit(text[2 * i]);
    int low = HexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    raw[i] = static_cast<unsigned char>(high * 16 + low);
  }

  Key key;
  Cleanser wipe_key{key.data(), key.size()};
  if (!DeriveKey(key)) return false;

  const std::size_t cipher_bytes = bytes - kNonceBytes - kTagBytes;
  std::vector<unsigned char> plain(cipher_bytes);
  Cleanser wipe_plain{plain.data(), plain.size()};

  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  int length = 0;
  int final_length = 0;
  bool ok = EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_gcm(), nullptr, nullptr, nullptr) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceBytes),
                                nullptr) == 1 &&
            EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), raw.data()) == 1 &&
            EVP_DecryptUpdate(ctx.get(), plain.data(), &length, raw.data() + kNonceBytes,
                              static_cast<int>(cipher_bytes)) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes),
                                raw.data() + kNonceBytes + cipher_bytes) == 1 &&
            // The tag check: fails for anything not enciphered with this key.
            EVP_DecryptFinal_ex(ctx.get(), plain.data() + length, &final_length) == 1;
  if (!ok) return false;

  // The clear text runs up to its NUL (or the end, for a value stored without one).
  std::size_t clear_bytes = static_cast<std::size_t>(length + final_length);
  const void* nul = std::memchr(plain.data(), '\0', clear_bytes);
  if (nul) clear_bytes = static_cast<const unsigned char*>(nul) - plain.data();
  OPENSSL_cleanse(text.data(), text.size());
  text.assign(reinterpret_cast<const char*>(plain.data()), clear_bytes);
  return true;
}

void WipePassword(std::string& text) {
  // Bytes past the size are old text too: what a move out of a short string or a shorter
  // assignment left behind. resize fills them first, so the whole buffer is then wiped.
  text.resize(text.capacity());
  OPENSSL_cleanse(text.data(), text.size());
  text.clear();
}

}  // namespace norvane
