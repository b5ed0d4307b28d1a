// File layout:
//   <Registry>
//     <Key Name="Software\...\corp.example.com">
//       <Value Name="PreviousHighUSN">12345</Value>
//     </Key>
//   </Registry>
// Key and value names compare exactly; the file is UTF-8.
#include "platform/registry_store.h"

#include <mutex>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/xml.h"

namespace norvane {
namespace {

// Serialises read-modify-write cycles of this process on any store file.
std::mutex g_store_mutex;

XmlElement FindNamed(XmlElement parent, const char* element, const std::string& name) {
  for (XmlElement child : parent.Children()) {
    if (child.Name() == element && child.Attribute("Name") == name) return child;
  }
  return {};
}

}  // namespace

RegistryStore::RegistryStore() : path_(BaseFolder() + "norvane-registry.xml") {}

RegistryStore::RegistryStore(std::string path) : path_(std::move(path)) {}

std::optional<std::string> RegistryStore::ReadValue(const std::string& key,
                                                    const std::string& name) const {
  std::lock_guard<std::mutex> lock(g_store_mutex);
  XmlDocument doc;
  if (!doc.Load(path_)) return std::nullopt;
  XmlElement k = FindNamed(doc.Root(), "Key", key);
  if (!k) return std::nullopt;
  XmlElement v = FindNamed(k, "Value", name);
  if (!v) return std::nullopt;
  return v.Text();
}

bool RegistryStore::WriteValue(const std::string& key, const std::string& name,
                               const std::string& value) {
  std::lock_guard<std::mutex> lock(g_store_mutex);
  XmlDocument doc;
  XmlElement root;
  if (FileExists(path_)) {
    // An unreadable store is not overwritten: it may hold other domains' values.
    if (!doc.Load(path_)) return false;
    root = doc.Root();
  } else {
    root = doc.CreateRoot("Registry");
  }
  if (!root) return false;
  XmlElement k = FindNamed(root, "Key", key);
  if (!k) {
    k = root.AppendChild("Key");
    if (!k || !k.SetAttribute("Name", key)) return false;
  }
  XmlElement v = FindNamed(k, "Value", name);
  if (!v) {
    v = k.AppendChild("Value");
    if (!v || !v.SetAttribute("Name", name)) return false;
  }
  v.SetText(value);
  return doc.Save(path_);
}

}  // namespace norvane
