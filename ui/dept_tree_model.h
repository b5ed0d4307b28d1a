// The department tree of the department selection dialog as an item model: one check box
// per department of the organisation document. A checked department is synchronised; the
// keys of the unchecked ones become LimitDC.
//
// A check-box click does not toggle one item: unchecking takes the whole subtree with it,
// and checking first checks the ancestors up to the first checked one, then the subtree.
// Every such change goes through setData(Qt::CheckStateRole), whatever value is passed, so
// that a view's click and the keyboard follow the same rules.
//
// Main-window thread only, like every model a view shows.
#ifndef NORVANE_UI_DEPT_TREE_MODEL_H_
#define NORVANE_UI_DEPT_TREE_MODEL_H_

#include <QAbstractItemModel>
#include <memory>
#include <string>
#include <vector>

#include "platform/xml.h"

namespace norvane {

class DeptTreeModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  // Qt::UserRole: the department's key (its "describe" value) as a QString.
  static constexpr int kKeyRole = Qt::UserRole;
  struct Node;  // one department; opaque outside the model

  explicit DeptTreeModel(QObject* parent = nullptr);
  ~DeptTreeModel() override;

  // Replaces the tree by the "department" children of `container` (names compared ignoring
  // case), recursively, in document order. An item whose key equals an entry of `excluded`
  // starts unchecked, every other checked, whatever its parent's state. An item without a
  // name is labelled with its key.
  void Build(XmlElement container, const std::vector<std::string>& excluded);
  void Clear();

  void Toggle(const QModelIndex& index);
  void SetAllChecked(bool checked);
  bool IsChecked(const QModelIndex& index) const;

  // Checked items reachable from the top without passing an unchecked one.
  int CheckedCount() const;
  // Keys of every unchecked item, depth first, each item before its children.
  std::vector<std::string> UncheckedKeys() const;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 signals:
  // After every change of check states; the dialog recounts.
  void CheckStatesChanged();

 private:
  Node* NodeOf(const QModelIndex& index) const;
  QModelIndex IndexOf(const Node* node) const;
  void SetSubtree(Node* node, bool checked);
  void EmitChanged(Node* node);  // dataChanged for the node and its whole subtree

  std::unique_ptr<Node> root_;
};

}  // namespace norvane

#endif  // NORVANE_UI_DEPT_TREE_MODEL_H_
