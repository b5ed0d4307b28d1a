#include "tests/config/config_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/paths.h"

namespace norvane::testing {

TempBase::TempBase() {
  std::string pattern = (std::filesystem::temp_directory_path() / "norvane-config-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  dir_ = pattern + "/";
  SetBaseFolder(dir_);
}

TempBase::~TempBase() {
  std::error_code ec;
  // A test may have made the folder read-only; give it back before removing it.
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(dir_, ec);
  SetBaseFolder("");
}

void TempBase::WriteConfig(std::string_view content) const {
  std::ofstream out(ConfigPath(), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) ADD_FAILURE() << "cannot write " << ConfigPath();
}

std::string TempBase::ReadConfig() const {
  std::ifstream in(ConfigPath(), std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::string InstalledConfig() {
  std::ifstream in(std::string(NORVANE_SOURCE_DIR) + "/res/LdapConfig.xml", std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

}  // namespace norvane::testing
