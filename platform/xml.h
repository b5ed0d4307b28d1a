// A small DOM over libxml2 with the operations the configuration store and the
// organisation document need. Element names are matched case-insensitively (ASCII).
#ifndef NORVANE_PLATFORM_XML_H_
#define NORVANE_PLATFORM_XML_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct _xmlDoc;
struct _xmlNode;

namespace norvane {

// A non-owning handle to an element of an XmlDocument; valid while the element is in its
// document and the document lives. A default-constructed handle is null.
class XmlElement {
 public:
  XmlElement() = default;
  explicit XmlElement(_xmlNode* node) : node_(node) {}

  explicit operator bool() const { return node_ != nullptr; }
  bool operator==(const XmlElement& other) const { return node_ == other.node_; }

  std::string Name() const;  // local name

  // First element child whose name equals `name` ignoring ASCII case, in document order.
  XmlElement FirstChild(std::string_view name) const;
  std::vector<XmlElement> Children() const;  // element children, document order
  XmlElement Parent() const;                 // null for the document element

  bool HasAttribute(std::string_view name) const;
  std::string Attribute(std::string_view name) const;  // "" when absent
  // Sets the attribute, creating it (after the existing ones) when missing. Returns false
  // when the name is not a valid XML name.
  bool SetAttribute(std::string_view name, std::string_view value);
  bool RemoveAttribute(std::string_view name);
  std::vector<std::pair<std::string, std::string>> Attributes() const;  // document order

  std::string Text() const;  // concatenated text of the element and its descendants
  void SetText(std::string_view text);

  // Creates an element and appends it as the last child. Null when the name is invalid.
  XmlElement AppendChild(std::string_view name);
  // Unlinks the element from its document and frees it; the handle becomes null.
  void Remove();

  _xmlNode* node() const { return node_; }

 private:
  _xmlNode* node_ = nullptr;
};

class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Replace the document by the file's or the text's content. False (and an empty
  // document) when the file is missing or the content is not well-formed. The encoding
  // declared by the content is honoured (GB2312 included).
  bool Load(const std::string& path);
  bool LoadXml(std::string_view text);

  // Writes the document in `encoding` by atomic replace: a crash never leaves a
  // half-written file, and a failed save leaves the old file as it was.
  bool Save(const std::string& path, const char* encoding = "UTF-8") const;
  std::string ToString(const char* encoding = "UTF-8") const;
  // The encoding the loaded content declared ("" when it declared none or the document was
  // made here), so that a rewrite can keep the file's own encoding.
  std::string Encoding() const;

  XmlElement Root() const;  // document element, null when none
  // Makes a new document element named `name`, replacing any previous one.
  XmlElement CreateRoot(std::string_view name);
  void Clear();

 private:
  _xmlDoc* doc_ = nullptr;
};

}  // namespace norvane

#endif  // NORVANE_PLATFORM_XML_H_
