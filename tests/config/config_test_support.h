// Temporary base folders holding a LdapConfig.xml for the configuration store's tests.
#ifndef NORVANE_TESTS_CONFIG_CONFIG_TEST_SUPPORT_H_
#define NORVANE_TESTS_CONFIG_CONFIG_TEST_SUPPORT_H_

#include <string>
#include <string_view>

namespace norvane::testing {

// Makes a fresh folder under the system's temporary folder, makes it the process's base
// folder, and removes it (with everything in it) when destroyed.
class TempBase {
 public:
  TempBase();
  ~TempBase();
  TempBase(const TempBase&) = delete;
  TempBase& operator=(const TempBase&) = delete;

  const std::string& dir() const { return dir_; }  // with a trailing "/"
  std::string ConfigPath() const { return dir_ + "LdapConfig.xml"; }

  void WriteConfig(std::string_view content) const;
  std::string ReadConfig() const;

 private:
  std::string dir_;
};

// The installed configuration of the source tree.
std::string InstalledConfig();

}  // namespace norvane::testing

#endif  // NORVANE_TESTS_CONFIG_CONFIG_TEST_SUPPORT_H_
