// The data browser is a QTreeView over a model that holds only a row count and
// asks the program's item-data callback for each cell as the view draws it.
#include "platform/toolkit/data_browser.h"

#include <QAbstractTableModel>
#include <QEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QTreeView>

namespace {

class BrowserModel : public QAbstractTableModel {
 public:
  BrowserModel(QTreeView* view) : QAbstractTableModel(view), view_(view) {
    setObjectName(QStringLiteral("orvaneBrowserModel"));
    const QStringList codes = view->property("columns").toStringList();
    const QStringList titles = view->property("columnTitles").toStringList();
    for (qsizetype i = 0; i < codes.size(); ++i) {
      properties_.push_back(FourCCFromString(codes[i].toStdString()));
      titles_.push_back(i < titles.size() ? titles[i] : codes[i]);
    }
  }

  int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : int(rows_); }
  int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : int(properties_.size()); }

  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section >= titles_.size()) return {};
    return titles_[section];
  }

  QVariant data(const QModelIndex& index, int role) const override {
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::AccessibleTextRole) return {};
    std::optional<QString> text = CellText(DataBrowserItemID(index.row() + 1), properties_.at(index.column()));
    return text ? QVariant(*text) : QVariant();
  }

  std::optional<QString> CellText(DataBrowserItemID item, DataBrowserPropertyID property) const {
    if (!callbacks.itemDataCallback || item < 1 || item > rows_) return std::nullopt;
    DataBrowserItemData cell;
    if (callbacks.itemDataCallback(view_, item, property, &cell, false) != noErr || !cell.textSet)
      return std::nullopt;
    return cell.text;
  }

  void SetRows(UInt32 rows) {
    beginResetModel();
    rows_ = rows;
    endResetModel();
  }
  UInt32 Rows() const { return rows_; }

  void Notify(DataBrowserItemID item, DataBrowserItemNotification message) const {
    if (callbacks.itemNotificationCallback) callbacks.itemNotificationCallback(view_, item, message);
  }

  DataBrowserCallbacks callbacks;

 private:
  QTreeView* view_;
  UInt32 rows_ = 0;
  std::vector<DataBrowserPropertyID> properties_;
  QStringList titles_;
};

// Return and Enter open the current row, as a double-click does.
class OpenOnReturn : public QObject {
 public:
  OpenOnReturn(QTreeView* view, BrowserModel* model) : QObject(view), view_(view), model_(model) {}

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
    const QModelIndex current = view_->currentIndex();
    if (!current.isValid()) return false;
    model_->Notify(DataBrowserItemID(current.row() + 1), kDataBrowserItemDoubleClicked);
    return true;
  }

 private:
  QTreeView* view_;
  BrowserModel* model_;
};

void Attach(QTreeView* view, BrowserModel* model) {
  view->setModel(model);
  view->setUniformRowHeights(true);  // lets the view ask only for the rows it draws
  view->setRootIsDecorated(false);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  view->header()->setStretchLastSection(true);
  QObject::connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, model,
                   [model](const QItemSelection& selected, const QItemSelection& deselected) {
                     for (const QModelIndex& index : deselected.indexes())
                       if (index.column() == 0) model->Notify(DataBrowserItemID(index.row() + 1), kDataBrowserItemDeselected);
                     for (const QModelIndex& index : selected.indexes())
                       if (index.column() == 0) model->Notify(DataBrowserItemID(index.row() + 1), kDataBrowserItemSelected);
                   });
  QObject::connect(view, &QAbstractItemView::doubleClicked, model, [model](const QModelIndex& index) {
    model->Notify(DataBrowserItemID(index.row() + 1), kDataBrowserItemDoubleClicked);
  });
  view->installEventFilter(new OpenOnReturn(view, model));
}

BrowserModel* ModelOf(ControlRef browser) {
  auto* view = qobject_cast<QTreeView*>(browser);
  if (!view) return nullptr;
  auto* model = view->findChild<BrowserModel*>(QStringLiteral("orvaneBrowserModel"), Qt::FindDirectChildrenOnly);
  if (!model) {
    model = new BrowserModel(view);
    Attach(view, model);
  }
  return model;
}

}  // namespace

OSStatus InitDataBrowserCallbacks(DataBrowserCallbacks* callbacks) {
  if (!callbacks || callbacks->version != kDataBrowserLatestCallbacks) return paramErr;
  *callbacks = DataBrowserCallbacks{};
  return noErr;
}

OSStatus SetDataBrowserCallbacks(ControlRef browser, const DataBrowserCallbacks* callbacks) {
  BrowserModel* model = ModelOf(browser);
  if (!model || !callbacks) return paramErr;
  model->callbacks = *callbacks;
  return noErr;
}

OSStatus RemoveDataBrowserItems(ControlRef browser) {
  BrowserModel* model = ModelOf(browser);
  if (!model) return paramErr;
  model->SetRows(0);
  return noErr;
}

OSStatus AddDataBrowserItems(ControlRef browser, UInt32 itemCount) {
  BrowserModel* model = ModelOf(browser);
  if (!model) return paramErr;
  model->SetRows(model->Rows() + itemCount);
  return noErr;
}

OSStatus RevealDataBrowserItem(ControlRef browser, DataBrowserItemID item) {
  BrowserModel* model = ModelOf(browser);
  if (!model || item < 1 || item > model->Rows()) return paramErr;
  static_cast<QTreeView*>(browser)->scrollTo(model->index(int(item - 1), 0));
  return noErr;
}

OSStatus SetDataBrowserItemDataText(DataBrowserItemDataRef itemData, const QString& text) {
  if (!itemData) return paramErr;
  itemData->text = text;
  itemData->textSet = true;
  return noErr;
}

UInt32 GetDataBrowserItemCount(ControlRef browser) {
  BrowserModel* model = ModelOf(browser);
  return model ? model->Rows() : 0;
}

std::optional<QString> CopyDataBrowserCellText(ControlRef browser, DataBrowserItemID item,
                                               DataBrowserPropertyID property) {
  BrowserModel* model = ModelOf(browser);
  return model ? model->CellText(item, property) : std::nullopt;
}
