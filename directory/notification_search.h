// NotificationSearch: one search the directory keeps open and answers with each change as it
// happens, on a connection of its own made by the same rules as every other (TLS, bind,
// time-outs). Which kind of search depends on the server:
//
//   type 0 (Active Directory): the change-notification control on the naming context that
//     holds the base, subtree, with show-deleted so that deletions are notified too; each
//     entry only says "something changed here".
//   types 1 and 2: RFC 4533 refreshAndPersist where the root entry lists the sync control,
//     started from the context's current contextCSN, so that no copy of the directory is
//     sent first; otherwise the persistent-search control. Each entry is the changed entry.
//
// Neither offered: Open fails with kNone and a log line. A server that stops answering is
// noticed: the socket has TCP keepalives, and after kIdleProbe seconds without a message
// the search asks the root entry on the same connection and gives the connection up when no
// answer comes within kProbeTimeout.
//
// One thread uses an object at a time; Wait blocks only in poll(2), so an idle search costs
// no CPU.
#ifndef NORVANE_DIRECTORY_NOTIFICATION_SEARCH_H_
#define NORVANE_DIRECTORY_NOTIFICATION_SEARCH_H_

#include <chrono>
#include <string>
#include <vector>

#include "config/records.h"
#include "directory/ldap_client.h"

namespace norvane {

struct LdapConnection;

enum class NotificationKind { kNone, kChangeNotification, kSyncRepl, kPersistentSearch };

// One entry the directory pushed.
struct PushedEntry {
  enum class State { kPresent, kAdded, kModified, kDeleted };
  State state = State::kModified;
  std::string dn;           // as the server sent it, escapes kept; may be empty for kDeleted
  std::string previous_dn;  // persistent search: the DN before a rename, when the server says
  std::string uuid;         // sync: the entryUUID bytes
  // As CLdapClient::ReadEntry reads an entry of the connection's type.
  EntryAttributes attributes;
  std::vector<std::string> object_classes;  // every value
};

class NotificationSearch {
 public:
  static constexpr int kIdleProbe = 60;     // seconds without a message before a probe
  static constexpr int kProbeTimeout = 15;  // seconds a probe may take

  enum class Status {
    kIdle,             // the time given to Wait passed
    kReady,            // messages were handled (entries may have been added)
    kWoken,            // wake_fd became readable
    kLost,             // the connection or the search ended: open a new one
    kRefreshRequired,  // the server refused the sync cookie: open a new one, catch up
  };

  NotificationSearch() = default;
  ~NotificationSearch();
  NotificationSearch(const NotificationSearch&) = delete;
  NotificationSearch& operator=(const NotificationSearch&) = delete;

  // Connects with `params` (its server type, address, naming context and account) and starts
  // the search below `base` with `filter` (types 1 and 2). `snapshot`, when given, receives
  // one kPresent entry for every entry the search covers (objectClass, entryUUID and
  // `attributes`), read in pages right after the search started, so that a later change can
  // be told where the entry was before. Returns the kind started, kNone on failure (logged).
  NotificationKind Open(const LdapServerParams& params, const std::string& base,
                        const std::string& filter, const std::vector<std::string>& attributes,
                        std::vector<PushedEntry>* snapshot = nullptr);
  void Close();
  bool IsOpen() const { return connection_ != nullptr; }
  NotificationKind kind() const { return kind_; }
  // After a failed Open: the server was reached but offers no search of the kind needed.
  bool unsupported() const { return unsupported_; }

  // Waits at most `timeout` for messages (or for `wake_fd`, -1 for none, to become
  // readable), handles every message already there, appends the entries to `out`.
  Status Wait(std::chrono::milliseconds timeout, int wake_fd, std::vector<PushedEntry>* out);

 private:
  Status Handle(void* message, std::vector<PushedEntry>* out);
  bool SendProbe();

  LdapConnection* connection_ = nullptr;
  NotificationKind kind_ = NotificationKind::kNone;
  bool unsupported_ = false;
  int search_id_ = -1;
  int probe_id_ = -1;
  std::string where_;  // host:port base, for log lines
  std::chrono::steady_clock::time_point last_message_{};
  std::chrono::steady_clock::time_point probe_sent_{};
};

// The naming context that holds `base`: its trailing DC= components (the base itself when it
// has none).
std::string NamingContextOf(const std::string& base);

}  // namespace norvane

#endif  // NORVANE_DIRECTORY_NOTIFICATION_SEARCH_H_
