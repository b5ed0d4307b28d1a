#include "platform/xml.h"

#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>

#include <cstring>
#include <mutex>

#include "platform/files.h"
#include "platform/text.h"

namespace norvane {
namespace {

const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }
std::string S(const xmlChar* s) { return s ? std::string(reinterpret_cast<const char*>(s)) : ""; }

void SilentError(void*, const char*, ...) {}

void InitLibxml() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    xmlThrDefSetGenericErrorFunc(nullptr, SilentError);
  });
  // Encoding errors bypass the parse options and go to the generic channel, which is
  // per thread: keep it quiet on every thread that parses or writes.
  xmlSetGenericErrorFunc(nullptr, SilentError);
}

// Parse options: no network access, no entity expansion beyond the predefined ones, and no
// error chatter on stderr (callers get a false result instead).
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

xmlAttr* FindAttr(xmlNode* node, std::string_view name) {
  for (xmlAttr* a = node->properties; a; a = a->next) {
    if (a->name && std::string_view(reinterpret_cast<const char*>(a->name)) == name) return a;
  }
  return nullptr;
}

}  // namespace

std::string XmlElement::Name() const { return node_ ? S(node_->name) : ""; }

XmlElement XmlElement::FirstChild(std::string_view name) const {
  if (!node_) return {};
  for (xmlNode* c = node_->children; c; c = c->next) {
    if (c->type == XML_ELEMENT_NODE && EqualsNoCase(reinterpret_cast<const char*>(c->name), name))
      return XmlElement(c);
  }
  return {};
}

std::vector<XmlElement> XmlElement::Children() const {
  std::vector<XmlElement> out;
  if (!node_) return out;
  for (xmlNode* c = node_->children; c; c = c->next) {
    if (c->type == XML_ELEMENT_NODE) out.emplace_back(c);
  }
  return out;
}

XmlElement XmlElement::Parent() const {
  if (!node_ || !node_->parent || node_->parent->type != XML_ELEMENT_NODE) return {};
  return XmlElement(node_->parent);
}

bool XmlElement::HasAttribute(std::string_view name) const {
  return node_ && FindAttr(node_, name) != nullptr;
}

std::string XmlElement::Attribute(std::string_view name) const {
  if (!node_) return "";
  xmlAttr* a = FindAttr(node_, name);
  if (!a) return "";
  xmlChar* v = xmlNodeListGetString(node_->doc, a->children, 1);
  std::string out = S(v);
  xmlFree(v);
  return out;
}

bool XmlElement::SetAttribute(std::string_view name, std::string_view value) {
  if (!node_) return false;
  std::string n(name), v(value);
  if (xmlValidateNameValue(X(n)) == 0) return false;
  // xmlSetProp takes the value as literal text and escapes it on output.
  return xmlSetProp(node_, X(n), X(v)) != nullptr;
}

bool XmlElement::RemoveAttribute(std::string_view name) {
  if (!node_) return false;
  xmlAttr* a = FindAttr(node_, name);
  if (!a) return false;
  xmlRemoveProp(a);
  return true;
}

std::vector<std::pair<std::string, std::string>> XmlElement::Attributes() const {
  std::vector<std::pair<std::string, std::string>> out;
  if (!node_) return out;
  for (xmlAttr* a = node_->properties; a; a = a->next) {
    xmlChar* v = xmlNodeListGetString(node_->doc, a->children, 1);
    out.emplace_back(S(a->name), S(v));
    xmlFree(v);
  }
  return out;
}

std::string XmlElement::Text() const {
  if (!node_) return "";
  xmlChar* v = xmlNodeGetContent(node_);
  std::string out = S(v);
  xmlFree(v);
  return out;
}

void XmlElement::SetText(std::string_view text) {
  if (!node_) return;
  std::string t(text);
  // Clear the children, then add the text as raw content (no entity parsing).
  xmlNodeSetContent(node_, nullptr);
  xmlNodeAddContentLen(node_, X(t), static_cast<int>(t.size()));
}

XmlElement XmlElement::AppendChild(std::string_view name) {
  if (!node_) return {};
  std::string n(name);
  if (xmlValidateNameValue(X(n)) == 0) return {};
  xmlNode* child = xmlNewDocNode(node_->doc, nullptr, X(n), nullptr);
  if (!child) return {};
  return XmlElement(xmlAddChild(node_, child));
}

void XmlElement::Remove() {
  if (!node_) return;
  xmlUnlinkNode(node_);
  xmlFreeNode(node_);
  node_ = nullptr;
}

XmlDocument::XmlDocument() { InitLibxml(); }

XmlDocument::~XmlDocument() { Clear(); }

void XmlDocument::Clear() {
  if (doc_) xmlFreeDoc(doc_);
  doc_ = nullptr;
}

bool XmlDocument::Load(const std::string& path) {
  Clear();
  std::string content;
  if (!ReadFile(path, &content)) return false;
  return LoadXml(content);
}

bool XmlDocument::LoadXml(std::string_view text) {
  InitLibxml();
  Clear();
  if (text.empty()) return false;
  doc_ = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, kParseOptions);
  return doc_ != nullptr;
}

std::string XmlDocument::ToString(const char* encoding) const {
  if (!doc_) return "";
  InitLibxml();
  xmlChar* mem = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc_, &mem, &size, encoding, 1);
  std::string out = mem ? std::string(reinterpret_cast<const char*>(mem), size) : "";
  xmlFree(mem);
  return out;
}

std::string XmlDocument::Encoding() const { return doc_ ? S(doc_->encoding) : ""; }

bool XmlDocument::Save(const std::string& path, const char* encoding) const {
  if (!doc_) return false;
  std::string data = ToString(encoding);
  if (data.empty()) return false;
  // Never replace a file by text that would not load again: a value holding a control
  // character or bytes that are not UTF-8 serialises without complaint.
  xmlDoc* check =
      xmlReadMemory(data.data(), static_cast<int>(data.size()), nullptr, nullptr, kParseOptions);
  if (!check) return false;
  xmlFreeDoc(check);
  return WriteFileAtomically(path, data);
}

XmlElement XmlDocument::Root() const {
  if (!doc_) return {};
  return XmlElement(xmlDocGetRootElement(doc_));
}

XmlElement XmlDocument::CreateRoot(std::string_view name) {
  std::string n(name);
  if (xmlValidateNameValue(X(n)) == 0) return {};
  if (!doc_) doc_ = xmlNewDoc(BAD_CAST "1.0");
  xmlNode* root = xmlNewDocNode(doc_, nullptr, X(n), nullptr);
  xmlNode* old = xmlDocSetRootElement(doc_, root);
  if (old) xmlFreeNode(old);
  return XmlElement(root);
}

}  // namespace norvane
