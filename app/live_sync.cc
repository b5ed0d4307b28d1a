#include "app/live_sync.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "config/ldap_config.h"
#include "directory/dn_text.h"
#include "directory/ldap_client.h"
#include "directory/notification_search.h"
#include "platform/activity_log.h"
#include "platform/run_lock.h"
#include "platform/text.h"
#include "sync/live_apply.h"
#include "sync/sync_engine.h"

namespace norvane {
namespace {

using Clock = std::chrono::steady_clock;

// Entries that arrive this close together are applied as one run.
constexpr std::chrono::milliseconds kGather{20};
// A run that could not take place (run lock taken, IM server silent) is tried again after
// this, doubling up to LiveSync::kMaxBackoff.
constexpr std::chrono::seconds kFirstRetry{2};
// The search filter of types 1 and 2: what the import reads (users and OUs), and groups,
// whose changes in group mode send for a full import.
constexpr char kLiveFilter[] =
    "(|(objectClass=organizationalUnit)(objectClass=person)(objectClass=user)"
    "(objectClass=groupOfNames)(objectClass=groupOfUniqueNames))";

const char* KindText(NotificationKind kind) {
  switch (kind) {
    case NotificationKind::kChangeNotification:
      return "更改通知";
    case NotificationKind::kSyncRepl:
      return "refreshAndPersist";
    case NotificationKind::kPersistentSearch:
      return "持久搜索";
    default:
      return "";
  }
}

std::chrono::seconds Doubled(std::chrono::seconds backoff) {
  return std::min(backoff * 2, std::chrono::seconds(LiveSync::kMaxBackoff));
}

}  // namespace

void LiveDebounce::Note(Clock::time_point at) {
  if (!pending_) {
    const bool queued = finished_ != Clock::time_point{} && at <= finished_ + kQueued;
    first_ = queued ? std::min(at, started_) : at;
  }
  pending_ = true;
  last_ = at;
}

std::optional<LiveDebounce::Clock::time_point> LiveDebounce::Due() const {
  if (!pending_) return std::nullopt;
  return std::min(last_ + kQuiet, first_ + kMaxDelay);
}

void BeginLiveRun(SyncEngine& engine, const std::string& domain, const std::string& what) {
  engine.SetTrigger("live");
  WriteLog(Format("实时同步 (trigger=live) %s: %s", domain.c_str(), what.c_str()));
}

bool ConfiguredLiveSyncEnabled() {
  CLdapConfig config;
  config.Init();
  ManageSyncInfo info;
  return !config.LoadManageSync(info) || info.live_sync != 0;
}

std::string LiveSyncStateText(const std::vector<LiveSync::DomainState>& states) {
  if (states.empty()) return "实时同步: 未启用";
  std::string text = "实时同步:";
  for (const LiveSync::DomainState& s : states) {
    text += " " + s.domain + (s.connected ? " 已连接(" + s.kind + ")" : " 未连接");
  }
  return text;
}

class LiveSync::Watcher {
 public:
  Watcher(LiveSync* owner, std::string base) : owner_(owner), base_(std::move(base)) {
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    state_.domain = base_;
  }
  ~Watcher() {
    Stop();
    if (wake_ >= 0) close(wake_);
  }
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    stop_ = true;
    if (wake_ >= 0) {
      std::uint64_t one = 1;
      [[maybe_unused]] ssize_t n = write(wake_, &one, sizeof one);
    }
    if (thread_.joinable()) thread_.join();
  }
  DomainState state() const {
    std::lock_guard<std::mutex> guard(owner_->lock_);
    return state_;
  }
  long runs() const { return runs_.load(); }

 private:
  void SetState(bool connected, NotificationKind kind) {
    {
      std::lock_guard<std::mutex> guard(owner_->lock_);
      state_.connected = connected;
      state_.kind = connected ? KindText(kind) : "";
    }
    owner_->Publish();
  }
  // Sleeps until `until` or Stop.
  void Sleep(Clock::time_point until) {
    while (!stop_ && Clock::now() < until) {
      pollfd fds{wake_, POLLIN, 0};
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      ::poll(&fds, 1, static_cast<int>(std::max<long long>(left.count(), 0) + 1));
    }
  }
  bool LockFree() {
    RunLock probe;
    return probe.TryAcquire();
  }
  bool EngineReady() {
    if (!engine_) engine_ = std::make_unique<SyncEngine>();
    if (!engine_ready_) engine_ready_ = engine_->EngineInit() != 0;
    return engine_ready_;
  }
  // One SyncOneDC(1): true when it ran and succeeded.
  bool CatchUp(const char* what) {
    if (!LockFree() || !EngineReady()) return false;
    BeginLiveRun(*engine_, base_, what);
    const bool ok = engine_->SyncOneDC(1) == 1;
    ++runs_;
    if (!ok) WriteLog(Format("实时同步 (trigger=live) %s: 同步失败，稍后重试", base_.c_str()));
    return ok;
  }

  void Run();

  LiveSync* owner_;
  const std::string base_;
  int wake_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  DomainState state_;  // guarded by owner_->lock_
  std::atomic<long> runs_{0};
  std::unique_ptr<SyncEngine> engine_;
  bool engine_ready_ = false;
};

void LiveSync::Watcher::Run() {
  std::chrono::seconds backoff{1};
  while (!stop_) {
    CLdapConfig config;
    config.Init();
    SysConfigInfo sys;
    AttributeMap user_property;
    config.LoadSysConfig(sys);
    config.LoadUserProperty(user_property);
    const LdapServerParams params = ServerParamsOf(sys);
    const bool ad = sys.directory_type == kActiveDirectory;
    std::string account_attribute = "uid";
    for (const auto& [key, value] : user_property) {
      if (key == "uid") account_attribute = value;
    }

    NotificationSearch search;
    std::vector<PushedEntry> snapshot;
    const NotificationKind kind = search.Open(
        params, base_, kLiveFilter, {account_attribute, "uid", "ou"}, ad ? nullptr : &snapshot);
    if (kind == NotificationKind::kNone) {
      SetState(false, kind);
      if (search.unsupported()) return;  // said in the log; the daily update stays
      Sleep(Clock::now() + backoff);
      backoff = Doubled(backoff);
      continue;
    }
    backoff = std::chrono::seconds(1);
    SetState(true, kind);
    LiveEntryTracker tracker(account_attribute);
    tracker.Reset(snapshot);
    snapshot.clear();

    // What is owed: a catch-up run after the connect (and after a group change or a failed
    // run), and on types 1 and 2 the changes not yet applied.
    bool catch_up = true;
    Clock::time_point catch_up_at = Clock::now();
    std::chrono::seconds retry = kFirstRetry;
    LiveDebounce debounce;
    std::vector<LiveChange> queue;
    LiveRun progress;
    Clock::time_point apply_at = Clock::now();
    bool lost = false;

    while (!stop_ && !lost) {
      // Sleep until the next run is due, or for good when nothing is owed.
      Clock::time_point next = Clock::now() + std::chrono::hours(1);
      if (catch_up) next = std::min(next, catch_up_at);
      if (ad && debounce.Due()) next = std::min(next, *debounce.Due());
      if (!ad && !catch_up && !queue.empty()) next = std::min(next, apply_at);
      const auto wait =
          std::max(std::chrono::milliseconds(0),
                   std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()));
      std::vector<PushedEntry> entries;
      NotificationSearch::Status status = search.Wait(wait, wake_, &entries);
      // A burst is applied together: gather what follows closely.
      const auto gather_end = Clock::now() + 10 * kGather;
      while (status == NotificationSearch::Status::kReady && !entries.empty() && !ad &&
             Clock::now() < gather_end) {
        status = search.Wait(kGather, wake_, &entries);
      }
      if (status == NotificationSearch::Status::kIdle) status = NotificationSearch::Status::kReady;
      if (status == NotificationSearch::Status::kLost ||
          status == NotificationSearch::Status::kRefreshRequired) {
        lost = true;
      }
      if (!entries.empty()) {
        if (ad) {
          debounce.Note(Clock::now());
        } else {
          std::vector<LiveChange> changes = tracker.Translate(entries);
          for (LiveChange& change : changes) {
            if (change.kind == LiveChange::Kind::kReimport) {
              if (!catch_up) catch_up_at = Clock::now() + LiveDebounce::kQuiet;
              catch_up = true;
            } else {
              queue.push_back(std::move(change));
            }
          }
        }
      }
      if (lost || stop_) break;

      const auto now = Clock::now();
      if (catch_up && now >= catch_up_at) {
        // Covers every notification so far on Active Directory.
        debounce.Started(now);
        const bool caught_up = CatchUp(ad ? "目录连接后的增量更新" : "目录连接后的全部导入");
        debounce.Finished(Clock::now());
        if (caught_up) {
          catch_up = false;
          retry = kFirstRetry;
        } else {
          catch_up_at = now + retry;
          retry = Doubled(retry);
        }
        continue;
      }
      if (ad && debounce.Due() && now >= *debounce.Due()) {
        debounce.Started(now);
        const bool updated = CatchUp("目录通知的增量更新");
        debounce.Finished(Clock::now());
        if (!updated) {
          // Tried again later; the stored update sequence number still covers the changes.
          debounce.Note(now + retry - LiveDebounce::kQuiet);
          retry = Doubled(retry);
        } else {
          retry = kFirstRetry;
        }
        continue;
      }
      if (!ad && !catch_up && !queue.empty() && now >= apply_at) {
        if (!EngineReady()) {
          apply_at = now + retry;
          retry = Doubled(retry);
          continue;
        }
        BeginLiveRun(*engine_, base_, Format("应用%zu项目录变更", queue.size() - progress.done));
        const int result = engine_->ApplyLiveChanges(queue, &progress);
        ++runs_;
        if (result == kLiveRetry) {
          WriteLog(
              Format("实时同步 (trigger=live) %s: 运行锁被占用或Zelto服务器没有响应，"
                     "%zu项变更稍后重试",
                     base_.c_str(), queue.size() - progress.done));
          queue.erase(queue.begin(), queue.begin() + static_cast<long>(progress.done));
          progress.done = 0;
          apply_at = now + retry;
          retry = Doubled(retry);
          continue;
        }
        queue.clear();
        progress = LiveRun{};
        retry = kFirstRetry;
      }
    }
    search.Close();
    SetState(false, NotificationKind::kNone);
    if (stop_) break;
    // Reopened after a pause; the catch-up follows the connect.
    Sleep(Clock::now() + backoff);
    backoff = Doubled(backoff);
  }
}

LiveSync::LiveSync(StateListener listener) : listener_(std::move(listener)) {}

LiveSync::~LiveSync() { Stop(); }

bool LiveSync::Start() {
  if (!watchers_.empty()) return true;
  if (!ConfiguredLiveSyncEnabled()) {
    WriteLog("实时同步未启用 (ManageSync LiveSync=\"0\")，仅按每日更新同步");
    return false;
  }
  CLdapConfig config;
  config.Init();
  SysConfigInfo sys;
  if (!config.LoadSysConfig(sys)) return false;
  std::vector<std::string> domains;
  for (const std::string& base : SplitList(sys.domain)) {
    // One search per naming context on Active Directory, which only watches those.
    const std::string domain =
        sys.directory_type == kActiveDirectory ? NamingContextOf(base) : base;
    if (domain.empty()) continue;
    if (std::none_of(domains.begin(), domains.end(),
                     [&](const std::string& d) { return EqualsNoCase(d, domain); })) {
      domains.push_back(domain);
    }
  }
  for (const std::string& domain : domains) {
    watchers_.push_back(std::make_unique<Watcher>(this, domain));
  }
  for (auto& watcher : watchers_) watcher->Start();
  return !watchers_.empty();
}

void LiveSync::Stop() {
  for (auto& watcher : watchers_) watcher->Stop();
  watchers_.clear();
}

std::vector<LiveSync::DomainState> LiveSync::States() const {
  std::vector<DomainState> states;
  for (const auto& watcher : watchers_) states.push_back(watcher->state());
  return states;
}

long LiveSync::RunsDone() const {
  long runs = 0;
  for (const auto& watcher : watchers_) runs += watcher->runs();
  return runs;
}

void LiveSync::Publish() {
  if (listener_) listener_(States());
}

}  // namespace norvane
