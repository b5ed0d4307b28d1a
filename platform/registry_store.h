// A small key/value store that stands in for the machine's registry: named keys holding
// named text values, kept in one XML file that is rewritten by atomic replace.
#ifndef NORVANE_PLATFORM_REGISTRY_STORE_H_
#define NORVANE_PLATFORM_REGISTRY_STORE_H_

#include <optional>
#include <string>

namespace norvane {

class RegistryStore {
 public:
  // The default store is BaseFolder() + "norvane-registry.xml".
  RegistryStore();
  explicit RegistryStore(std::string path);

  // Nothing when the file, the key or the value is missing or the file cannot be read.
  std::optional<std::string> ReadValue(const std::string& key, const std::string& name) const;
  // Creates the file, key and value as needed. False when the file cannot be written; the
  // old content is then intact.
  bool WriteValue(const std::string& key, const std::string& name, const std::string& value);

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace norvane

#endif  // NORVANE_PLATFORM_REGISTRY_STORE_H_
