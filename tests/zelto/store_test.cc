// The store's group commit when the disk fills: a batch that SQLite rolls back as a whole
// is failed as a whole, and none of its writes stays.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "zelto/store.h"

namespace zelto {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "zelto-store-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(StoreFull, ABatchRolledBackByAFullDiskCommitsNoneOfItsWritesAndFailsThemAll) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string db = dir.path() + "/zelto.db";
  { Store(db).AddUser("early", 0); }
  // Closed cleanly, the database file holds every page; a few more fit, not all of these.
  const auto pages = static_cast<std::int64_t>(fs::file_size(db) / 4096);
  Store store(db, {.max_pages = pages + 2});

  constexpr int kWrites = 300;
  std::vector<std::string> accounts;
  for (int i = 0; i < kWrites; ++i) {
    accounts.push_back("user-" + std::to_string(i) + "-" + std::string(110, 'x'));
  }
  std::mutex mu;
  std::condition_variable cv;
  std::vector<int> failed(kWrites, -1);
  int answered = 0;
  // Queued at once, so most of them commit together.
  for (int i = 0; i < kWrites; ++i) {
    store.AddUser(accounts[i], 0, [&, i](std::exception_ptr error) {
      std::lock_guard<std::mutex> lock(mu);
      failed[i] = error ? 1 : 0;
      ++answered;
      cv.notify_all();
    });
  }
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return answered == kWrites; });
  }
  int refused = 0, kept_though_failed = 0, lost_though_done = 0;
  for (int i = 0; i < kWrites; ++i) {
    const bool stored = store.UserExists(accounts[i]);
    refused += failed[i];
    kept_though_failed += failed[i] == 1 && stored;
    lost_though_done += failed[i] == 0 && !stored;
  }
  EXPECT_GT(refused, 0) << "the database never filled";
  EXPECT_EQ(kept_though_failed, 0);
  EXPECT_EQ(lost_though_done, 0);
  // The next batch commits as usual.
  store.SetUserAuthType("early", 3);
  EXPECT_EQ(store.AuthType("early"), 3);
}

}  // namespace
}  // namespace zelto
