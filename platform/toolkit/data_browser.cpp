// The data browser is a QTreeView over a model that holds only a row count and
// asks the program's item-data callback for each cell as the view draws it.
#include "platform/toolkit/data_browser.h"

#include <QAbstractTableModel>
#include <QEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
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
    if (orientation != Qt::Horizontal || section >= titles_.size()) return {};
    // A first click on a header sorts increasing; the header flips it on the next.
    if (role == Qt::InitialSortOrderRole) return int(Qt::AscendingOrder);
    if (role != Qt::DisplayRole) return {};
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
  void Redraw() {
    if (rows_ > 0) emit dataChanged(index(0, 0), index(int(rows_) - 1, columnCount({}) - 1));
  }
  const std::vector<DataBrowserPropertyID>& Properties() const { return properties_; }
  int SectionOf(DataBrowserPropertyID property) const {
    for (size_t i = 0; i < properties_.size(); ++i)
      if (properties_[i] == property) return int(i);
    return -1;
  }
  const QStringList& Titles() const { return titles_; }

  void Notify(DataBrowserItemID item, DataBrowserItemNotification message) const {
    if (callbacks.itemNotificationCallback) callbacks.itemNotificationCallback(view_, item, message);
  }

  DataBrowserCallbacks callbacks;
  DataBrowserMenuCommandUPP menuCommand = nullptr;

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

// The header sorts on click and offers, in its context menu, the columns to show.
void AttachHeader(QTreeView* view, BrowserModel* model) {
  QHeaderView* header = view->header();
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(true);
  header->setSortIndicator(0, Qt::AscendingOrder);
  QObject::connect(header, &QHeaderView::sortIndicatorChanged, model,
                   [model](int, Qt::SortOrder) { model->Notify(0, kDataBrowserSortOrderChanged); });
  header->setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::connect(header, &QWidget::customContextMenuRequested, header, [header, model](const QPoint& where) {
    auto* menu = new QMenu(header);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (int section = 1; section < model->Titles().size(); ++section) {
      QAction* action = menu->addAction(model->Titles()[section]);
      action->setCheckable(true);
      action->setChecked(!header->isSectionHidden(section));
      QObject::connect(action, &QAction::toggled, header,
                       [header, section](bool shown) { header->setSectionHidden(section, !shown); });
    }
    menu->popup(header->mapToGlobal(where));
  });
}

QMenu* RowMenuOf(QTreeView* view) {
  return view->findChild<QMenu*>(QStringLiteral("orvaneRowMenu"), Qt::FindDirectChildrenOnly);
}

// The row a context menu was asked for becomes the current one, so that its
// commands act on the row the user sees selected.
void AttachRowMenu(QTreeView* view) {
  view->setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::connect(view, &QWidget::customContextMenuRequested, view, [view](const QPoint& where) {
    const QModelIndex index = view->indexAt(where);
    QMenu* menu = RowMenuOf(view);
    if (!index.isValid() || !menu) return;
    view->setCurrentIndex(index);
    menu->popup(view->viewport()->mapToGlobal(where));
  });
}

void Attach(QTreeView* view, BrowserModel* model) {
  view->setModel(model);
  view->setUniformRowHeights(true);  // lets the view ask only for the rows it draws
  view->setRootIsDecorated(false);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  view->header()->setStretchLastSection(true);
  AttachHeader(view, model);
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
  AttachRowMenu(view);
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

OSStatus UpdateDataBrowserItems(ControlRef browser) {
  BrowserModel* model = ModelOf(browser);
  if (!model) return paramErr;
  model->Redraw();
  return noErr;
}

OSStatus SetDataBrowserSortProperty(ControlRef browser, DataBrowserPropertyID property) {
  BrowserModel* model = ModelOf(browser);
  const int section = model ? model->SectionOf(property) : -1;
  if (section < 0) return paramErr;
  QHeaderView* header = static_cast<QTreeView*>(browser)->header();
  header->setSortIndicator(section, header->sortIndicatorOrder());
  return noErr;
}

OSStatus GetDataBrowserSortProperty(ControlRef browser, DataBrowserPropertyID* property) {
  BrowserModel* model = ModelOf(browser);
  if (!model || !property) return paramErr;
  const int section = static_cast<QTreeView*>(browser)->header()->sortIndicatorSection();
  if (section < 0 || size_t(section) >= model->Properties().size()) return paramErr;
  *property = model->Properties()[size_t(section)];
  return noErr;
}

OSStatus SetDataBrowserSortOrder(ControlRef browser, DataBrowserSortOrder order) {
  if (!ModelOf(browser) || (order != kDataBrowserOrderIncreasing && order != kDataBrowserOrderDecreasing))
    return paramErr;
  QHeaderView* header = static_cast<QTreeView*>(browser)->header();
  header->setSortIndicator(header->sortIndicatorSection(),
                           order == kDataBrowserOrderIncreasing ? Qt::AscendingOrder : Qt::DescendingOrder);
  return noErr;
}

OSStatus GetDataBrowserSortOrder(ControlRef browser, DataBrowserSortOrder* order) {
  if (!ModelOf(browser) || !order) return paramErr;
  const bool increasing = static_cast<QTreeView*>(browser)->header()->sortIndicatorOrder() == Qt::AscendingOrder;
  *order = increasing ? kDataBrowserOrderIncreasing : kDataBrowserOrderDecreasing;
  return noErr;
}

std::vector<DataBrowserPropertyID> GetDataBrowserProperties(ControlRef browser) {
  BrowserModel* model = ModelOf(browser);
  return model ? model->Properties() : std::vector<DataBrowserPropertyID>{};
}

OSStatus SetDataBrowserPropertyVisible(ControlRef browser, DataBrowserPropertyID property, bool visible) {
  BrowserModel* model = ModelOf(browser);
  const int section = model ? model->SectionOf(property) : -1;
  if (section < 0 || (section == 0 && !visible)) return paramErr;
  static_cast<QTreeView*>(browser)->header()->setSectionHidden(section, !visible);
  return noErr;
}

bool IsDataBrowserPropertyVisible(ControlRef browser, DataBrowserPropertyID property) {
  BrowserModel* model = ModelOf(browser);
  const int section = model ? model->SectionOf(property) : -1;
  return section >= 0 && !static_cast<QTreeView*>(browser)->header()->isSectionHidden(section);
}

OSStatus SetDataBrowserContextMenu(ControlRef browser, const std::vector<DataBrowserMenuItem>& items,
                                   DataBrowserMenuCommandUPP command) {
  BrowserModel* model = ModelOf(browser);
  if (!model) return paramErr;
  auto* view = static_cast<QTreeView*>(browser);
  delete RowMenuOf(view);
  auto* menu = new QMenu(view);
  menu->setObjectName(QStringLiteral("orvaneRowMenu"));
  model->menuCommand = command;
  for (const DataBrowserMenuItem& item : items) {
    QAction* action = menu->addAction(item.title);
    const UInt32 commandID = item.commandID;
    QObject::connect(action, &QAction::triggered, view, [view, model, commandID] {
      const QModelIndex current = view->currentIndex();
      if (current.isValid() && model->menuCommand)
        model->menuCommand(view, DataBrowserItemID(current.row() + 1), commandID);
    });
  }
  return noErr;
}

OSStatus ChooseDataBrowserContextMenuItem(ControlRef browser, DataBrowserItemID item, const QString& title) {
  BrowserModel* model = ModelOf(browser);
  auto* view = static_cast<QTreeView*>(browser);
  QMenu* menu = model ? RowMenuOf(view) : nullptr;
  if (!menu || item < 1 || item > model->Rows()) return paramErr;
  for (QAction* action : menu->actions()) {
    if (action->text() != title) continue;
    view->setCurrentIndex(model->index(int(item - 1), 0));
    action->trigger();
    return noErr;
  }
  return paramErr;
}
