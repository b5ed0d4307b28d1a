// Local passwords: PBKDF2-SHA256 hashes with a random salt each.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "zelto/store_internal.h"

namespace zelto {
namespace {

constexpr int kPasswordRounds = 100000;
constexpr int kSaltBytes = 16;
constexpr int kHashBytes = 32;

bool DeriveKey(const std::string& password, const unsigned char* salt, int rounds,
               unsigned char* out) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, kSaltBytes,
                           rounds, EVP_sha256(), kHashBytes, out) == 1;
}

}  // namespace

void Store::SetPassword(const std::string& account, const std::string& password) {
  if (password.empty()) throw StoreError(StoreCode::kInvalid, "password is empty");
  if (password.size() > kMaxPasswordBytes) {
    throw StoreError(StoreCode::kInvalid,
                     "password is longer than " + std::to_string(kMaxPasswordBytes) + " bytes");
  }
  unsigned char salt[kSaltBytes];
  unsigned char hash[kHashBytes];
  if (RAND_bytes(salt, kSaltBytes) != 1 || !DeriveKey(password, salt, kPasswordRounds, hash)) {
    throw StoreError(StoreCode::kInternal, "cannot derive the password hash");
  }
  try {
    Write({}, [&] {
      std::int64_t user = RequireUser(account);
      Statement s(this, "UPDATE user SET pw_salt = ?2, pw_hash = ?3, pw_rounds = ?4 WHERE id = ?1");
      s.Bind(1, user)
          .BindBlob(2, salt, kSaltBytes)
          .BindBlob(3, hash, kHashBytes)
          .Bind(4, static_cast<std::int64_t>(kPasswordRounds))
          .Run();
    });
  } catch (...) {
    OPENSSL_cleanse(hash, sizeof hash);
    throw;
  }
  OPENSSL_cleanse(hash, sizeof hash);
}

PasswordCheck Store::CheckPassword(const std::string& account, const std::string& password) {
  std::string salt, hash;
  std::int64_t rounds = 0;
  const std::optional<PasswordCheck> early = Read([&]() -> std::optional<PasswordCheck> {
    Statement s(this, "SELECT pw_salt, pw_hash, pw_rounds FROM user WHERE account = ?1");
    s.Bind(1, account);
    if (!s.Step()) return PasswordCheck::kNoAccount;
    if (s.IsNull(1)) return PasswordCheck::kNoPassword;
    salt = s.Blob(0);
    hash = s.Blob(1);
    rounds = s.Int(2);
    return std::nullopt;
  });
  if (early) return *early;
  if (salt.size() != kSaltBytes || hash.size() != kHashBytes || rounds <= 0) {
    return PasswordCheck::kNoPassword;
  }
  // Derived outside the lock: it is the slow part and touches no shared state.
  unsigned char derived[kHashBytes];
  if (!DeriveKey(password, reinterpret_cast<const unsigned char*>(salt.data()),
                 static_cast<int>(rounds), derived)) {
    throw StoreError(StoreCode::kInternal, "cannot derive the password hash");
  }
  bool match = CRYPTO_memcmp(derived, hash.data(), kHashBytes) == 0;
  OPENSSL_cleanse(derived, sizeof derived);
  return match ? PasswordCheck::kMatch : PasswordCheck::kMismatch;
}

}  // namespace zelto
