#include "server/lockout_shield.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <random>

namespace norvane {
namespace {

// PBKDF2-HMAC-SHA256 rounds: about half a millisecond a hash here, paid only by accounts
// with a recent wrong password, yet enough that a copy of the process's memory does not
// give the passwords away cheaply.
constexpr int kHashRounds = 2000;
// Accounts remembered at most; past it the records that expire first go.
constexpr std::size_t kMaxAccounts = 100000;

}  // namespace

LockoutShield::LockoutShield() {
  if (RAND_bytes(salt_.data(), static_cast<int>(salt_.size())) != 1) {
    std::random_device random;
    for (unsigned char& c : salt_) c = static_cast<unsigned char>(random());
  }
}

int LockoutShield::AllowedWrongBinds(const LockoutPolicy& policy) {
  // At a threshold of 1 the first wrong bind locks whatever we do; holding every login
  // before any bind would keep the account out for good, so one bind is let through.
  return std::max(policy.threshold - 1, 1);
}

LockoutShield::Hash LockoutShield::HashOf(const std::string& key, std::string_view password) const {
  // The account is part of the salt: one password of two accounts gives two hashes.
  std::string salt(reinterpret_cast<const char*>(salt_.data()), salt_.size());
  salt += key;
  Hash out{};
  PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                    reinterpret_cast<const unsigned char*>(salt.data()),
                    static_cast<int>(salt.size()), kHashRounds, EVP_sha256(),
                    static_cast<int>(out.size()), out.data());
  return out;
}

void LockoutShield::ForgetExpired(Clock::time_point now) {
  // A record past its window is never used (Admit looks at `expires` itself); the sweep only
  // frees memory, once a second at most.
  if (now < next_sweep_ && accounts_.size() <= kMaxAccounts) return;
  next_sweep_ = now + std::chrono::seconds(1);
  for (auto it = accounts_.begin(); it != accounts_.end();) {
    if (now >= it->second.expires) {
      for (Hash& h : it->second.wrong) OPENSSL_cleanse(h.data(), h.size());
      it = accounts_.erase(it);
    } else {
      ++it;
    }
  }
  while (accounts_.size() > kMaxAccounts) {
    auto first = std::min_element(accounts_.begin(), accounts_.end(), [](auto& a, auto& b) {
      return a.second.expires < b.second.expires;
    });
    accounts_.erase(first);
  }
}

LockoutShield::Verdict LockoutShield::Admit(const std::string& key, std::string_view password,
                                            const LockoutPolicy& policy, Ticket* ticket) {
  ticket->key = key;
  ticket->hashed = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const Clock::time_point now = Clock::now();
    ForgetExpired(now);
    auto it = accounts_.find(key);
    if (it == accounts_.end()) return Verdict::kCheck;
    if (now >= it->second.expires) {
      for (Hash& h : it->second.wrong) OPENSSL_cleanse(h.data(), h.size());
      accounts_.erase(it);
      return Verdict::kCheck;
    }
    if (it->second.refusals >= AllowedWrongBinds(policy)) return Verdict::kHeld;
  }
  // Hashed outside the lock: it takes a while, and other accounts need not wait.
  ticket->hash = HashOf(key, password);
  ticket->hashed = true;
  std::lock_guard<std::mutex> lock(mu_);
  auto it = accounts_.find(key);
  if (it == accounts_.end()) return Verdict::kCheck;
  for (const Hash& h : it->second.wrong) {
    if (CRYPTO_memcmp(h.data(), ticket->hash.data(), h.size()) == 0) return Verdict::kKnownWrong;
  }
  return it->second.refusals >= AllowedWrongBinds(policy) ? Verdict::kHeld : Verdict::kCheck;
}

bool LockoutShield::Record(Ticket& ticket, std::string_view password, bool accepted,
                           bool wrong_password, const LockoutPolicy& policy) {
  if (accepted) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = accounts_.find(ticket.key);
    if (it != accounts_.end()) {
      for (Hash& h : it->second.wrong) OPENSSL_cleanse(h.data(), h.size());
      accounts_.erase(it);
    }
    OPENSSL_cleanse(ticket.hash.data(), ticket.hash.size());
    return false;
  }
  if (!wrong_password) return false;
  if (!ticket.hashed) {
    ticket.hash = HashOf(ticket.key, password);
    ticket.hashed = true;
  }
  std::lock_guard<std::mutex> lock(mu_);
  const Clock::time_point now = Clock::now();
  Account& account = accounts_[ticket.key];
  if (account.refusals > 0 && now >= account.expires) {
    for (Hash& h : account.wrong) OPENSSL_cleanse(h.data(), h.size());
    account = Account{};
  }
  const bool known = std::any_of(account.wrong.begin(), account.wrong.end(), [&](const Hash& h) {
    return CRYPTO_memcmp(h.data(), ticket.hash.data(), h.size()) == 0;
  });
  if (!known) account.wrong.push_back(ticket.hash);
  OPENSSL_cleanse(ticket.hash.data(), ticket.hash.size());
  // The directory counts every refused bind, a repeated password too.
  ++account.refusals;
  // The directory forgets its count once the window has passed since the last refusal.
  account.expires = now + policy.window;
  const bool starts_hold = account.refusals == AllowedWrongBinds(policy);
  ForgetExpired(now);
  return starts_hold;
}

}  // namespace norvane
