#include "ui/dept_tree_model.h"

#include <algorithm>
#include <unordered_set>

#include "platform/text.h"

namespace norvane {

struct DeptTreeModel::Node {
  QString name;
  std::string key;
  bool checked = true;
  Node* parent = nullptr;
  int row = 0;
  std::vector<std::unique_ptr<Node>> children;
};

DeptTreeModel::DeptTreeModel(QObject* parent)
    : QAbstractItemModel(parent), root_(std::make_unique<Node>()) {}

DeptTreeModel::~DeptTreeModel() = default;

namespace {

void AddChildren(XmlElement element, DeptTreeModel::Node* parent,
                 const std::unordered_set<std::string>& excluded) {
  for (XmlElement child : element.Children()) {
    if (!EqualsNoCase(child.Name(), "department")) continue;
    auto node = std::make_unique<DeptTreeModel::Node>();
    node->key = child.Attribute("describe");
    // A base without ou= or dc= parts (o=corp) has no name of its own: show its key.
    const std::string name = child.Attribute("name");
    node->name = QString::fromStdString(name.empty() ? node->key : name);
    node->checked = excluded.count(node->key) == 0;
    node->parent = parent;
    node->row = static_cast<int>(parent->children.size());
    DeptTreeModel::Node* raw = node.get();
    parent->children.push_back(std::move(node));
    AddChildren(child, raw, excluded);
  }
}

}  // namespace

void DeptTreeModel::Build(XmlElement container, const std::vector<std::string>& excluded) {
  beginResetModel();
  root_ = std::make_unique<Node>();
  const std::unordered_set<std::string> keys(excluded.begin(), excluded.end());
  if (container) AddChildren(container, root_.get(), keys);
  endResetModel();
  emit CheckStatesChanged();
}

void DeptTreeModel::Clear() {
  beginResetModel();
  root_ = std::make_unique<Node>();
  endResetModel();
  emit CheckStatesChanged();
}

void DeptTreeModel::Toggle(const QModelIndex& index) {
  Node* node = NodeOf(index);
  if (node == root_.get()) return;
  if (node->checked) {
    SetSubtree(node, false);
    EmitChanged(node);
  } else {
    Node* top = node;
    for (Node* up = node->parent; up != root_.get() && !up->checked; up = up->parent) {
      up->checked = true;
      top = up;
    }
    SetSubtree(node, true);
    EmitChanged(top);
  }
  emit CheckStatesChanged();
}

void DeptTreeModel::SetAllChecked(bool checked) {
  for (auto& child : root_->children) {
    SetSubtree(child.get(), checked);
    EmitChanged(child.get());
  }
  emit CheckStatesChanged();
}

bool DeptTreeModel::IsChecked(const QModelIndex& index) const {
  const Node* node = NodeOf(index);
  return node != root_.get() && node->checked;
}

int DeptTreeModel::CheckedCount() const {
  int count = 0;
  std::vector<const Node*> stack{root_.get()};
  while (!stack.empty()) {
    const Node* node = stack.back();
    stack.pop_back();
    for (const auto& child : node->children) {
      if (!child->checked) continue;
      ++count;
      stack.push_back(child.get());
    }
  }
  return count;
}

std::vector<std::string> DeptTreeModel::UncheckedKeys() const {
  std::vector<std::string> keys;
  std::vector<const Node*> stack;
  for (auto it = root_->children.rbegin(); it != root_->children.rend(); ++it) {
    stack.push_back(it->get());
  }
  while (!stack.empty()) {
    const Node* node = stack.back();
    stack.pop_back();
    if (!node->checked) keys.push_back(node->key);
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
      stack.push_back(it->get());
    }
  }
  return keys;
}

QModelIndex DeptTreeModel::index(int row, int column, const QModelIndex& parent) const {
  const Node* node = NodeOf(parent);
  if (column != 0 || row < 0 || row >= static_cast<int>(node->children.size())) return {};
  return createIndex(row, 0, node->children[row].get());
}

QModelIndex DeptTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return {};
  return IndexOf(NodeOf(child)->parent);
}

int DeptTreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  return static_cast<int>(NodeOf(parent)->children.size());
}

int DeptTreeModel::columnCount(const QModelIndex&) const { return 1; }

QVariant DeptTreeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const Node* node = NodeOf(index);
  switch (role) {
    case Qt::DisplayRole:
      return node->name;
    case Qt::CheckStateRole:
      return node->checked ? Qt::Checked : Qt::Unchecked;
    case kKeyRole:
      return QString::fromStdString(node->key);
    default:
      return {};
  }
}

bool DeptTreeModel::setData(const QModelIndex& index, const QVariant&, int role) {
  if (!index.isValid() || role != Qt::CheckStateRole) return false;
  Toggle(index);
  return true;
}

Qt::ItemFlags DeptTreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

DeptTreeModel::Node* DeptTreeModel::NodeOf(const QModelIndex& index) const {
  if (!index.isValid()) return root_.get();
  return static_cast<Node*>(index.internalPointer());
}

QModelIndex DeptTreeModel::IndexOf(const Node* node) const {
  if (node == nullptr || node == root_.get()) return {};
  return createIndex(node->row, 0, const_cast<Node*>(node));
}

void DeptTreeModel::SetSubtree(Node* node, bool checked) {
  node->checked = checked;
  for (auto& child : node->children) SetSubtree(child.get(), checked);
}

void DeptTreeModel::EmitChanged(Node* node) {
  const QModelIndex at = IndexOf(node);
  emit dataChanged(at, at, {Qt::CheckStateRole});
  if (node->children.empty()) return;
  emit dataChanged(IndexOf(node->children.front().get()), IndexOf(node->children.back().get()),
                   {Qt::CheckStateRole});
  for (auto& child : node->children) {
    if (!child->children.empty()) EmitChanged(child.get());
  }
}

}  // namespace norvane
