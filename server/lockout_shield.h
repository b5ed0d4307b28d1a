// LockoutShield: keeps logins through this service from ever locking a directory account.
//
// A directory locks an account after `threshold` wrong passwords within its observation
// window. A phone that still holds an old password offers it again and again, and a user
// who forgot a new one tries several; both would lock the account for the whole network.
// So, per account:
//
//   - a wrong password already refused within the window is refused again (as a wrong
//     password) without a bind: it is remembered only as a salted slow hash, in memory;
//   - once the account has had threshold - 1 refused binds through this service within the
//     window (counted from the last of them, as the directory counts), its logins are
//     refused without a bind until the window has passed since that last refusal;
//   - a bind that accepts the password forgets everything about the account.
//
// Nothing of it reaches a disk or a log. Thread-safe.
#ifndef NORVANE_SERVER_LOCKOUT_SHIELD_H_
#define NORVANE_SERVER_LOCKOUT_SHIELD_H_

#include <array>
#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

// The directory's lockout rule: `threshold` wrong passwords within `window` lock an
// account. A threshold of 0 or less means the directory's own rule was not known.
struct LockoutPolicy {
  int threshold = 5;
  std::chrono::seconds window{15 * 60};
};

class LockoutShield {
 public:
  using Clock = std::chrono::steady_clock;
  using Hash = std::array<unsigned char, 32>;

  enum class Verdict {
    kCheck,       // ask the directory
    kKnownWrong,  // a wrong password refused within the window: answer "wrong password"
    kHeld,        // too many refusals within the window: refuse without asking
  };

  // What Admit learnt about one login, for its Record.
  struct Ticket {
    std::string key;
    Hash hash{};
    bool hashed = false;
  };

  LockoutShield();
  LockoutShield(const LockoutShield&) = delete;
  LockoutShield& operator=(const LockoutShield&) = delete;

  // `key` names the account (the same account must always give the same key).
  Verdict Admit(const std::string& key, std::string_view password, const LockoutPolicy& policy,
                Ticket* ticket);
  // After a bind Admit allowed: `accepted` forgets the account; `wrong_password` remembers the
  // password and counts the refusal. True when this refusal starts a hold (the caller logs
  // it once).
  bool Record(Ticket& ticket, std::string_view password, bool accepted, bool wrong_password,
              const LockoutPolicy& policy);
  // Wrong binds an account may have through this service before it is held.
  static int AllowedWrongBinds(const LockoutPolicy& policy);

 private:
  struct Account {
    std::vector<Hash> wrong;  // distinct wrong passwords refused within the window
    int refusals = 0;
    Clock::time_point expires;  // the window after the last refusal
  };
  Hash HashOf(const std::string& key, std::string_view password) const;
  void ForgetExpired(Clock::time_point now);

  std::array<unsigned char, 16> salt_{};  // constant after construction

  std::mutex mu_;
  std::map<std::string, Account> accounts_;  // guarded by mu_
  Clock::time_point next_sweep_;             // guarded by mu_
};

}  // namespace norvane

#endif  // NORVANE_SERVER_LOCKOUT_SHIELD_H_
