#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/instance_lock.h"
#include "platform/paths.h"
#include "platform/registry_store.h"

namespace norvane {
namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/norvane-files-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    ::chmod(dir_.c_str(), 0755);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string dir_;
};

TEST_F(FilesTest, AtomicWriteReplacesAndKeepsPermissions) {
  const std::string path = dir_ + "/LdapConfig.xml";
  ASSERT_TRUE(WriteFileAtomically(path, "old"));
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_TRUE(WriteFileAtomically(path, "new content"));
  std::string content;
  ASSERT_TRUE(ReadFile(path, &content));
  EXPECT_EQ(content, "new content");
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(FilesTest, FailedWriteLeavesTheOldFileAndNoTemporary) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  const std::string path = dir_ + "/LdapConfig.xml";
  ASSERT_TRUE(WriteFileAtomically(path, "old"));
  ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
  EXPECT_FALSE(WriteFileAtomically(path, "new"));
  std::string content;
  ASSERT_TRUE(ReadFile(path, &content));
  EXPECT_EQ(content, "old");
}

TEST_F(FilesTest, FailedWriteIntoAMissingFolderReportsFalse) {
  EXPECT_FALSE(WriteFileAtomically(dir_ + "/no/such/folder/f", "x"));
  EXPECT_FALSE(FileExists(dir_ + "/no/such/folder/f"));
  EXPECT_FALSE(FileExists(dir_));  // a folder is not a file
}

TEST(PathsTest, BaseFolderIsTheParentOfTheExecutablesFolder) {
  EXPECT_EQ(BaseFolderOf("/opt/norvane/bin/norvane"), "/opt/norvane/");
  EXPECT_EQ(BaseFolderOf("/norvane"), "");  // at the root: no folder above
  EXPECT_EQ(BaseFolderOf("norvane"), "");
  EXPECT_EQ(BaseFolderOf("/bin/norvane"), "/");
  // This test binary lives in <build>/tests/, so its base is the build tree.
  EXPECT_EQ(BaseFolder(), std::string(NORVANE_BINARY_DIR) + "/");
  SetBaseFolder("/tmp/x");
  EXPECT_EQ(BaseFolder(), "/tmp/x/");
  SetBaseFolder("");
  EXPECT_EQ(BaseFolder(), std::string(NORVANE_BINARY_DIR) + "/");
}

TEST_F(FilesTest, InstanceLockRefusesASecondHolderWithCode183) {
  InstanceLock first(kInstanceMutexName, dir_);
  ASSERT_TRUE(first.Acquire());
  {
    InstanceLock second(kInstanceMutexName, dir_);
    EXPECT_FALSE(second.Acquire());
    EXPECT_EQ(second.LastError(), kErrorAlreadyExists);
  }
  // Another process is refused too.
  pid_t pid = ::fork();
  if (pid == 0) {
    InstanceLock other(kInstanceMutexName, dir_);
    ::_exit(!other.Acquire() && other.LastError() == kErrorAlreadyExists ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(FilesTest, InstanceLockIsFreedWithItsHolder) {
  {
    InstanceLock first(kInstanceMutexName, dir_);
    ASSERT_TRUE(first.Acquire());
  }
  InstanceLock again(kInstanceMutexName, dir_);
  EXPECT_TRUE(again.Acquire());
}

TEST_F(FilesTest, RegistryStoreKeepsKeysApart) {
  RegistryStore store(dir_ + "/reg.xml");
  EXPECT_FALSE(store.ReadValue("k1", "PreviousHighUSN"));
  ASSERT_TRUE(store.WriteValue("k1", "PreviousHighUSN", "18446744073709551615"));
  ASSERT_TRUE(store.WriteValue("k2", "PreviousHighUSN", "7"));
  ASSERT_TRUE(store.WriteValue("k1", "InvocationID", "abc"));
  ASSERT_TRUE(store.WriteValue("k2", "PreviousHighUSN", "8"));
  RegistryStore reread(dir_ + "/reg.xml");
  EXPECT_EQ(reread.ReadValue("k1", "PreviousHighUSN").value_or(""), "18446744073709551615");
  EXPECT_EQ(reread.ReadValue("k2", "PreviousHighUSN").value_or(""), "8");
  EXPECT_EQ(reread.ReadValue("k1", "InvocationID").value_or(""), "abc");
  EXPECT_FALSE(reread.ReadValue("k2", "InvocationID"));
}

TEST_F(FilesTest, RegistryStoreDoesNotOverwriteAnUnreadableFile) {
  const std::string path = dir_ + "/reg.xml";
  ASSERT_TRUE(WriteFileAtomically(path, "<Registry><Key Name='a'>"));
  RegistryStore store(path);
  EXPECT_FALSE(store.WriteValue("k", "v", "1"));
  std::string content;
  ASSERT_TRUE(ReadFile(path, &content));
  EXPECT_EQ(content, "<Registry><Key Name='a'>");
}

}  // namespace
}  // namespace norvane
