#include "ui/mainwindow.h"

#include "catalogue/catalogue.h"
#include "catalogue/records.h"
#include "storage/database.h"
#include "ui/actiondelegate.h"
#include "ui/displaycache.h"
#include "ui/tablefill.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStringMatcher>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

namespace {

// Rows read for the width of a column; enough for a fair width without walking a long table.
constexpr int resizeSampleRows = 200;

// No text column grows past this, so that one long name cannot push the numbers and the actions
// off a window of the default size; longer texts are elided and shown whole in their tooltip.
constexpr int maxColumnWidth = 320;
// Where several long columns still push the actions off the shown table, they are narrowed together,
// but not below this.
constexpr int minNarrowedWidth = 100;

// The widest a column before the action column may be so that all of them fit `room`: the highest
// level between minNarrowedWidth and maxColumnWidth that does, else minNarrowedWidth.
int fittingLevel(const QList<int> &widths, int room)
{
    const auto total = [&widths](int level) {
        int sum = 0;
        for (int width : widths)
            sum += qMin(width, level);
        return sum;
    };
    int low = minNarrowedWidth;
    int high = maxColumnWidth;
    if (total(high) <= room)
        return high;
    while (low < high) {
        const int middle = (low + high + 1) / 2;
        if (total(middle) <= room)
            low = middle;
        else
            high = middle - 1;
    }
    return low;
}

// Shows a cell's whole text as its tooltip when the column is too narrow for it.
class ElidedTextDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override
    {
        if (event->type() == QEvent::ToolTip && index.isValid() && !index.data(Qt::ToolTipRole).isValid()) {
            QStyleOptionViewItem cell = option;
            initStyleOption(&cell, index);
            // The width the text needs on one line, not wrapped into the cell it is cut to.
            cell.features &= ~QStyleOptionViewItem::WrapText;
            cell.rect = QRect();
            if (QStyledItemDelegate::sizeHint(cell, index).width() > option.rect.width()) {
                QToolTip::showText(event->globalPos(), cell.text, view->viewport(), option.rect);
                return true;
            }
        }
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
};

} // namespace

QWidget *MainWindow::buildDataPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(20, 18, 20, 18);
    layout->setSpacing(12);

    auto *toolbar = new QHBoxLayout;
    toolbar->addWidget(new QLabel(QStringLiteral("表："), page));

    tableCombo = new QComboBox(page);
    tableCombo->setFixedWidth(130);
    for (const TableInfo &table : tables())
        tableCombo->addItem(table.label, table.key);
    tableCombo->setCurrentIndex(0);
    toolbar->addWidget(tableCombo);

    searchEdit = new QLineEdit(page);
    searchEdit->setPlaceholderText(QStringLiteral("搜索…（名称/条码/客户等）"));
    searchEdit->setClearButtonEnabled(true);
    toolbar->addWidget(searchEdit, 1);

    auto *addButton = new QPushButton(QStringLiteral("＋ 新增"), page);
    addButton->setObjectName(QStringLiteral("success"));
    auto *editButton = new QPushButton(QStringLiteral("修改"), page);
    editButton->setObjectName(QStringLiteral("plain"));
    auto *deleteButton = new QPushButton(QStringLiteral("删除"), page);
    deleteButton->setObjectName(QStringLiteral("danger"));
    auto *exportButton = new QPushButton(QStringLiteral("导出 CSV"), page);
    exportButton->setObjectName(QStringLiteral("plain"));
    toolbar->addWidget(addButton);
    toolbar->addWidget(editButton);
    toolbar->addWidget(deleteButton);
    toolbar->addWidget(exportButton);
    layout->addLayout(toolbar);

    dataTable = new QTableWidget(page);
    dataTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    dataTable->setSelectionMode(QAbstractItemView::SingleSelection);
    dataTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    dataTable->verticalHeader()->setVisible(false);
    dataTable->horizontalHeader()->setStretchLastSection(true);
    dataTable->horizontalHeader()->setResizeContentsPrecision(resizeSampleRows);
    dataTable->setAlternatingRowColors(false);
    dataTable->setSortingEnabled(false);
    dataTable->setItemDelegate(new ElidedTextDelegate(dataTable));
    dataTable->viewport()->installEventFilter(this);
    layout->addWidget(dataTable, 1);

    actionDelegate = new ActionDelegate(dataTable);
    connect(actionDelegate, &ActionDelegate::editClicked, this,
            [this](int row) { runOnRow(row, &MainWindow::onEditRow); });
    connect(actionDelegate, &ActionDelegate::deleteClicked, this,
            [this](int row) { runOnRow(row, &MainWindow::onDeleteRow); });

    countLabel = new QLabel(page);
    countLabel->setObjectName(QStringLiteral("muted"));
    layout->addWidget(countLabel);

    connect(tableCombo, &QComboBox::currentIndexChanged, this, &MainWindow::onTableChanged);
    connect(searchEdit, &QLineEdit::textChanged, this, &MainWindow::onSearchChanged);
    connect(addButton, &QPushButton::clicked, this, &MainWindow::onAddRow);
    connect(editButton, &QPushButton::clicked, this, &MainWindow::onEditRow);
    connect(deleteButton, &QPushButton::clicked, this, &MainWindow::onDeleteRow);
    connect(exportButton, &QPushButton::clicked, this, &MainWindow::onExportCsv);
    connect(dataTable, &QTableWidget::cellClicked, this, &MainWindow::onDataCellClicked);
    connect(dataTable, &QTableWidget::doubleClicked, this, &MainWindow::onDataDoubleClicked);

    return page;
}

QString MainWindow::currentTableKey() const
{
    return tableCombo ? tableCombo->currentData(Qt::UserRole).toString() : QString();
}

bool MainWindow::isShowingTree() const
{
    return isTreeTable(currentTableKey());
}

void MainWindow::refreshDataTable(bool keepPlace)
{
    if (!dataTable)
        return;
    const TableInfo *table = findTable(currentTableKey());
    if (!table)
        return;
    const QString keptId = keepPlace ? currentRowId() : QString();
    const int keptScroll = keepPlace ? dataTable->verticalScrollBar()->value() : 0;

    // Rows that did not change since the last refresh come back as the same Records.
    currentRows = Database::instance().rows(table->key, &rowsMemo);
    const QStringList keys = currentRows.isEmpty() ? QStringList() : currentRows.first().toObject().keys();
    const QString search = searchEdit ? searchEdit->text().trimmed() : QString();
    const bool tree = isTreeTable(table->key);

    const QJsonArray shown = filterDataRows(*table, keys, search);
    fillDataTable(shown, planTable(*table, keys), keys, tree, !search.isEmpty());

    dataTable->setCurrentItem(nullptr);
    if (!keptId.isEmpty()) {
        for (int r = 0; r < dataTable->rowCount(); ++r) {
            const QTableWidgetItem *item = dataTable->item(r, 0);
            if (item && item->data(Qt::UserRole).toString() == keptId) {
                dataTable->setCurrentCell(r, 0);
                break;
            }
        }
    }
    // The scroll range follows the new rows only once the view is laid out again.
    dataTable->doItemsLayout();
    dataTable->verticalScrollBar()->setValue(keptScroll);
    dataTable->setUpdatesEnabled(true);

    dataTable->viewport()->setCursor(tree ? Qt::PointingHandCursor : Qt::ArrowCursor);
    showDataCount(shown.size(), search, tree);
}

QJsonArray MainWindow::filterDataRows(const TableInfo &table, const QStringList &keys, const QString &search)
{
    const bool searching = !search.isEmpty();
    QJsonArray shown;
    if (searching) {
        const qsizetype keyCount = keys.size();
        const KeyPosition idKey(QStringLiteral("id"), keys);
        QList<KeyPosition> searched;
        for (const QString &column : table.columns)
            searched.append(KeyPosition(column, keys));
        const QStringMatcher matcher(search, Qt::CaseInsensitive);
        if (searchTextsTable != table.key) {
            searchTexts.clear();
            searchTextsTable = table.key;
        }
        QHash<QString, SearchText> kept;
        kept.reserve(currentRows.size());
        for (const QJsonValue &value : std::as_const(currentRows)) {
            const QJsonObject row = value.toObject();
            const QString id = idKey.text(row, keyCount);
            // An unchanged row comes back as the very same Record, which compares equal at once.
            const auto known = searchTexts.constFind(id);
            const QString text = known != searchTexts.cend() && known->row == row ? known->text
                                                                                 : searchTextOf(row, keyCount, searched);
            kept.insert(id, {row, text});
            if (matcher.indexIn(text) >= 0)
                shown.append(value);
        }
        searchTexts.swap(kept);
    } else {
        shown = currentRows;
    }

    depthById.clear();
    childCountById.clear();
    parentIds.clear();
    if (isTreeTable(table.key))
        shown = orderAsTree(shown, searching);
    return shown;
}

void MainWindow::fillDataTable(const QJsonArray &shown, const TablePlan &plan, const QStringList &keys, bool tree,
                               bool searching)
{
    const qsizetype keyCount = keys.size();
    const KeyPosition idKey(QStringLiteral("id"), keys);

    // Painting is held back while tens of thousands of items go in; the caller lets it go again.
    dataTable->setUpdatesEnabled(false);
    dataTable->setRowCount(0);
    dataTable->clear();
    dataTable->setColumnCount(int(plan.headers.size()));
    dataTable->setHorizontalHeaderLabels(plan.headers);
    actionDelegate->setColumn(plan.actionColumn);
    dataTable->setRowCount(int(shown.size()));

    // One change notice for the whole table instead of one per cell.
    QAbstractItemModel *model = dataTable->model();
    QSignalBlocker quiet(model);
    const QBrush parentBrush{QColor(QStringLiteral("#2980B9"))};
    DisplayCache cache(&categoryRowsMemo, &locationRowsMemo);
    for (int r = 0; r < shown.size(); ++r) {
        const QJsonObject row = shown.at(r).toObject();
        const QString id = idKey.text(row, keyCount);
        const bool parent = tree && parentIds.contains(id);
        const bool unfolded = parent && (searching || expandedIds.contains(id));
        for (const ColumnPlan &column : plan.columns) {
            QString text = cellText(row, keyCount, column, cache);
            const bool decorated = tree && column.key.name == QLatin1String("name");
            if (decorated) {
                const QString marker = !parent ? QStringLiteral("   ")
                                               : (unfolded ? QStringLiteral("▼ ") : QStringLiteral("▶ "));
                text = QStringLiteral("    ").repeated(depthById.value(id)) + marker + text;
                if (parent)
                    text += QStringLiteral("  (%1)").arg(childCountById.value(id));
            }
            auto *item = new RowItem(text, id);
            if (decorated && parent) {
                QFont font = item->font();
                font.setWeight(QFont::Bold);
                item->setFont(font);
                item->setForeground(parentBrush);
                item->setToolTip(unfolded ? QStringLiteral("点一下收起子分类")
                                          : QStringLiteral("点一下展开 %1 个子分类").arg(childCountById.value(id)));
            }
            if (column.tableColumn == 0 && parent)
                item->setData(ActionDelegate::ParentRole, true);
            dataTable->setItem(r, column.tableColumn, item);
        }
    }
    quiet.unblock();
    if (model->rowCount() > 0)
        Q_EMIT model->dataChanged(model->index(0, 0), model->index(model->rowCount() - 1, model->columnCount() - 1));
    // Column by column and the last one left out: resizing it would undo its stretch until the next resize.
    dataColumnWidths.clear();
    for (int column = 0; column < dataTable->columnCount() - 1; ++column) {
        dataTable->resizeColumnToContents(column);
        dataColumnWidths.append(dataTable->columnWidth(column));
    }
    fitDataColumns();
}

void MainWindow::showDataCount(qsizetype shownRows, const QString &search, bool tree)
{
    QString count = QStringLiteral("共 %1 条").arg(shownRows);
    if (!search.isEmpty())
        count += QStringLiteral("（已按「%1」过滤）").arg(search);
    if (tree)
        count += QStringLiteral("\u3000\u00B7\u3000单击分类名可展开/收起；主级（带 ▼▶）不能改删，只叶子可以");
    countLabel->setText(count);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    // The data table's room changes with the window, and on its first showing.
    if (dataTable && watched == dataTable->viewport() && event->type() == QEvent::Resize)
        fitDataColumns();
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::fitDataColumns()
{
    if (!dataTable || dataColumnWidths.size() != dataTable->columnCount() - 1)
        return;
    const int actionColumn = actionDelegate->column();
    QHeaderView *header = dataTable->horizontalHeader();
    // The room of a hidden table is not known yet: it is fitted again when it is shown.
    const int room = dataTable->isVisible() ? dataTable->viewport()->width() - header->sectionSize(actionColumn)
                                            : std::numeric_limits<int>::max();
    const int level = fittingLevel(dataColumnWidths.mid(0, qMax(0, actionColumn)), room);
    for (int column = 0; column < dataColumnWidths.size(); ++column) {
        if (column == actionColumn)
            continue;
        const int limit = column < actionColumn ? level : maxColumnWidth;
        header->resizeSection(column, qMin(dataColumnWidths.at(column), limit));
    }
}

QJsonArray MainWindow::orderAsTree(const QJsonArray &rows, bool searching)
{
    QHash<QString, QJsonObject> byId;
    for (const QJsonValue &value : rows) {
        const QJsonObject row = value.toObject();
        byId.insert(recordText(row, QStringLiteral("id")), row);
    }

    QStringList roots;
    QHash<QString, QStringList> children;
    for (const QJsonValue &value : rows) {
        const QJsonObject row = value.toObject();
        const QString id = recordText(row, QStringLiteral("id"));
        const QString parentId = recordText(row, QStringLiteral("parentId"));
        if (!parentId.isEmpty() && byId.contains(parentId))
            children[parentId].append(id);
        else
            roots.append(id);
    }

    const auto byName = [&byId](const QString &a, const QString &b) {
        return recordText(byId.value(a), QStringLiteral("name")) < recordText(byId.value(b), QStringLiteral("name"));
    };
    std::sort(roots.begin(), roots.end(), byName);
    for (QStringList &list : children)
        std::sort(list.begin(), list.end(), byName);

    QJsonArray result;
    QList<QPair<QString, int>> stack;
    for (auto it = roots.crbegin(); it != roots.crend(); ++it)
        stack.append({*it, 0});
    while (!stack.isEmpty()) {
        const auto [id, depth] = stack.takeLast();
        const QStringList kids = children.value(id);
        const int n = int(kids.size());
        if (n > 0)
            parentIds.insert(id);
        childCountById.insert(id, n);
        result.append(byId.value(id));
        depthById.insert(id, depth);
        if (n > 0 && (searching || expandedIds.contains(id))) {
            for (auto it = kids.crbegin(); it != kids.crend(); ++it)
                stack.append({*it, depth + 1});
        }
    }
    return result;
}

QString MainWindow::currentRowId() const
{
    if (!dataTable)
        return QString();
    const int row = dataTable->currentRow();
    if (row < 0)
        return QString();
    const QTableWidgetItem *item = dataTable->item(row, 0);
    return item ? item->data(Qt::UserRole).toString() : QString();
}

void MainWindow::onTableChanged(int)
{
    refreshDataTable();
}

void MainWindow::onSearchChanged(const QString &)
{
    refreshDataTable();
}

void MainWindow::onDataCellClicked(int row, int column)
{
    const QTableWidgetItem *item = isShowingTree() && column == 0 ? dataTable->item(row, 0) : nullptr;
    const QString id = item ? item->data(Qt::UserRole).toString() : QString();
    if (!parentIds.contains(id)) {
        lastToggledId.clear();
        return;
    }
    // The second click of a double click arrives after the first one has toggled: it opens rather
    // than toggling back, so that a double click on a folded name opens it.
    const bool secondOfDouble = id == lastToggledId && lastToggleClock.isValid()
                                && lastToggleClock.elapsed() < QApplication::doubleClickInterval();
    lastToggledId = secondOfDouble ? QString() : id;
    lastToggleClock.start();
    // The table that sent the click is rebuilt, so the toggle waits until the click is over.
    QTimer::singleShot(0, this, [this, id, secondOfDouble] {
        if (secondOfDouble)
            expandedIds.insert(id);
        else if (!expandedIds.remove(id))
            expandedIds.insert(id);
        refreshDataTable(true);
    });
}

void MainWindow::onDataDoubleClicked(const QModelIndex &index)
{
    const QString id = currentRowId();
    // On a parent's name the clicks themselves open it.
    if (isShowingTree() && parentIds.contains(id) && index.column() == 0)
        return;
    if (isShowingTree() && parentIds.contains(id)) {
        QTimer::singleShot(0, this, [this] {
            QMessageBox::information(this, QStringLiteral("这是主级分类"),
                                     QStringLiteral("它下面还有子分类，不能直接修改。\n\n单击名称可以展开/收起子分类。"));
        });
        return;
    }
    QTimer::singleShot(0, this, &MainWindow::onEditRow);
}

void MainWindow::runOnRow(int row, void (MainWindow::*action)())
{
    QTimer::singleShot(0, this, [this, row, action] {
        if (!dataTable || row >= dataTable->rowCount())
            return;
        dataTable->setCurrentCell(row, 0);
        (this->*action)();
    });
}

bool MainWindow::selectedRow(const TableInfo **table, QString *id)
{
    if (!dataTable || dataTable->currentRow() < 0) {
        QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("请先选中一行"));
        return false;
    }
    *table = findTable(currentTableKey());
    if (!*table)
        return false;
    *id = currentRowId();
    if (id->isEmpty()) {
        QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("读不到这一行的 ID，请重新选一行再试"));
        return false;
    }
    return true;
}
