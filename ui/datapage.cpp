#include "ui/datapage.h"

#include "catalogue/catalogue.h"
#include "storage/csvtext.h"
#include "storage/database.h"
#include "storage/diskspace.h"
#include "storage/handoff.h"
#include "storage/importplanner.h"
#include "storage/rowtable.h"
#include "storage/storagethread.h"
#include "ui/actiondelegate.h"
#include "ui/celldelegate.h"
#include "ui/csvexport.h"
#include "ui/datatablemodel.h"
#include "ui/importpreview.h"
#include "ui/rowdeletion.h"
#include "ui/roweditor.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <limits>
#include <memory>
#include <utility>

namespace {

// Rows read for the width of a column; enough for a fair width without walking a long table.
constexpr int resizeSampleRows = 200;

// A phone's changes are shown this long after the last of a burst of pushes, and never later than
// maxRefreshDelayMs after the first.
constexpr int refreshDelayMs = 250;
constexpr int maxRefreshDelayMs = 2000;
// While phones wait for answers, the refresh gives way in steps of this long, for at most the second time.
constexpr int giveWayMs = 50;
constexpr int maxGiveWayMs = 2000;

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

} // namespace

DataPage::DataPage(QWidget *parent)
    : QWidget(parent)
    , csvFolder(QDir::homePath())
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 18);
    layout->setSpacing(12);

    auto *toolbar = new QHBoxLayout;
    toolbar->addWidget(new QLabel(QStringLiteral("表："), this));

    tableCombo = new QComboBox(this);
    tableCombo->setFixedWidth(130);
    for (const TableInfo &info : tables())
        tableCombo->addItem(info.label, info.key);
    tableCombo->setCurrentIndex(0);
    toolbar->addWidget(tableCombo);

    searchEdit = new QLineEdit(this);
    searchEdit->setPlaceholderText(QStringLiteral("搜索…（名称/条码/客户等）"));
    searchEdit->setClearButtonEnabled(true);
    toolbar->addWidget(searchEdit, 1);

    auto *addButton = new QPushButton(QStringLiteral("＋ 新增"), this);
    addButton->setObjectName(QStringLiteral("success"));
    auto *editButton = new QPushButton(QStringLiteral("修改"), this);
    editButton->setObjectName(QStringLiteral("plain"));
    auto *deleteButton = new QPushButton(QStringLiteral("删除"), this);
    deleteButton->setObjectName(QStringLiteral("danger"));
    auto *exportButton = new QPushButton(QStringLiteral("导出 CSV"), this);
    exportButton->setObjectName(QStringLiteral("plain"));
    auto *importButton = new QPushButton(QStringLiteral("导入 CSV"), this);
    importButton->setObjectName(QStringLiteral("plain"));
    toolbar->addWidget(addButton);
    toolbar->addWidget(editButton);
    toolbar->addWidget(deleteButton);
    toolbar->addWidget(exportButton);
    toolbar->addWidget(importButton);
    layout->addLayout(toolbar);

    rowsModel = new DataTableModel(this);
    table = new QTableView(this);
    table->setObjectName(QStringLiteral("dataTable"));
    table->setModel(rowsModel);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->verticalHeader()->setVisible(false);
    table->horizontalHeader()->setStretchLastSection(true);
    table->horizontalHeader()->setResizeContentsPrecision(resizeSampleRows);
    table->setAlternatingRowColors(false);
    table->setSortingEnabled(false);
    table->setItemDelegate(new CellDelegate(table));
    table->viewport()->installEventFilter(this);
    layout->addWidget(table, 1);

    actionDelegate = new ActionDelegate(table);
    connect(actionDelegate, &ActionDelegate::editClicked, this,
            [this](int row) { runOnRow(row, &DataPage::onEditRow); });
    connect(actionDelegate, &ActionDelegate::deleteClicked, this,
            [this](int row) { runOnRow(row, &DataPage::onDeleteRow); });

    countLabel = new QLabel(this);
    countLabel->setObjectName(QStringLiteral("muted"));
    layout->addWidget(countLabel);

    pendingRefresh = new QTimer(this);
    pendingRefresh->setSingleShot(true);
    connect(pendingRefresh, &QTimer::timeout, this, &DataPage::refreshInBackground);

    connect(tableCombo, &QComboBox::currentIndexChanged, this, &DataPage::onTableChanged);
    connect(searchEdit, &QLineEdit::textChanged, this, &DataPage::onSearchChanged);
    connect(addButton, &QPushButton::clicked, this, &DataPage::onAddRow);
    connect(editButton, &QPushButton::clicked, this, &DataPage::onEditRow);
    connect(deleteButton, &QPushButton::clicked, this, &DataPage::onDeleteRow);
    connect(exportButton, &QPushButton::clicked, this, &DataPage::onExportCsv);
    connect(importButton, &QPushButton::clicked, this, &DataPage::onImportCsv);
    connect(table, &QTableView::clicked, this, &DataPage::onClicked);
    connect(table, &QTableView::doubleClicked, this, &DataPage::onDoubleClicked);
}

QString DataPage::currentTableKey() const
{
    return tableCombo->currentData(Qt::UserRole).toString();
}

const TableInfo *DataPage::currentTable() const
{
    return findTable(currentTableKey());
}

const RowTable &DataPage::rows() const
{
    return rowsModel->records();
}

int DataPage::childCount(const QString &id) const
{
    return rowsModel->childCount(id);
}

QString DataPage::currentRowId() const
{
    const QModelIndex current = table->currentIndex();
    return current.isValid() ? rowsModel->idAt(current.row()) : QString();
}

void DataPage::refresh(bool keepPlace)
{
    pendingRefresh->stop();
    ++refreshes;
    const QString keptId = keepPlace ? currentRowId() : QString();
    const int keptScroll = keepPlace ? table->verticalScrollBar()->value() : 0;
    if (!rowsModel->reload(currentTableKey(), searchEdit->text().trimmed()))
        return;
    showRows(keptId, keptScroll);
}

void DataPage::refreshLater()
{
    if (!pendingRefresh->isActive())
        pendingSince.start();
    if (pendingSince.elapsed() < maxRefreshDelayMs - refreshDelayMs)
        pendingRefresh->start(refreshDelayMs);
}

void DataPage::refreshInPlace()
{
    pendingRefresh->stop();
    givingWaySince.invalidate();
    refreshInBackground();
}

bool DataPage::isReading() const
{
    return reader || pendingRefresh->isActive();
}

void DataPage::refreshInBackground()
{
    if (!isVisible())
        return;
    // A phone that pulls right after its push reads the same rows on the other core: it goes first.
    if (phonesWaiting && phonesWaiting()) {
        if (!givingWaySince.isValid())
            givingWaySince.start();
        if (!givingWaySince.hasExpired(maxGiveWayMs)) {
            pendingRefresh->start(giveWayMs);
            return;
        }
    }
    givingWaySince.invalidate();
    const QString file = Database::instance().fileName();
    if (!Database::instance().isOpen() || file.isEmpty()) {
        refresh(true);
        return;
    }
    // One reading at a time: a change made while it runs is read once it is over.
    if (reader) {
        readAgain = true;
        return;
    }
    // The table is read on a thread of its own, so that phones are answered meanwhile; only laying the
    // read rows out takes a turn of this thread.
    const QString key = currentTableKey();
    const quint64 started = refreshes;
    auto read = std::make_shared<RowTable>();
    auto readWhole = std::make_shared<bool>(false);
    reader = QThread::create([file, key, read, readWhole] {
        *readWhole = Database::readTableFrom(file, key, read.get());
        handoff::release(read.get());
    });
    connect(reader, &QThread::finished, this, [this, key, started, read, readWhole] {
        handoff::acquire(read.get());
        handoff::deleteEnded(std::exchange(reader, nullptr));
        // A refresh the operator asked for in between has shown newer rows already; a reading that
        // failed (the file is being restored) shows nothing instead of the rows shown.
        if (*readWhole && started == refreshes && key == currentTableKey() && isVisible()) {
            const QString keptId = currentRowId();
            const int keptScroll = table->verticalScrollBar()->value();
            ++refreshes;
            if (rowsModel->show(key, searchEdit->text().trimmed(), std::move(*read)))
                showRows(keptId, keptScroll);
        }
        if (std::exchange(readAgain, false))
            refreshLater();
    });
    reader->start(QThread::LowPriority);
}

DataPage::~DataPage()
{
    if (reader) {
        reader->wait();
        delete reader;
    }
}

void DataPage::onTableChanged(int)
{
    refresh();
}

void DataPage::onSearchChanged(const QString &)
{
    refresh();
}

void DataPage::showRows(const QString &keptId, int keptScroll)
{
    actionDelegate->setColumn(rowsModel->actionColumn());
    // Column by column and the last one left out: resizing it would undo its stretch until the next resize.
    columnWidths.clear();
    for (int column = 0; column < rowsModel->columnCount() - 1; ++column) {
        table->resizeColumnToContents(column);
        columnWidths.append(table->columnWidth(column));
    }
    fitColumns();

    const int keptRow = rowsModel->rowOf(keptId);
    if (keptRow >= 0)
        table->setCurrentIndex(rowsModel->index(keptRow, 0));
    // The scroll range follows the new rows only once the view is laid out again.
    table->doItemsLayout();
    table->verticalScrollBar()->setValue(keptScroll);

    table->viewport()->setCursor(rowsModel->isTree() ? Qt::PointingHandCursor : Qt::ArrowCursor);
    showCount();
}

void DataPage::showCount()
{
    const QString search = rowsModel->search();
    QString count = QStringLiteral("共 %1 条").arg(rowsModel->rowCount());
    if (!search.isEmpty())
        count += QStringLiteral("（已按「%1」过滤）").arg(search);
    if (rowsModel->isTree())
        count += QStringLiteral("\u3000\u00B7\u3000单击分类名可展开/收起；主级（带 ▼▶）不能改删，只叶子可以");
    countLabel->setText(count);
}

bool DataPage::eventFilter(QObject *watched, QEvent *event)
{
    // The table's room changes with the window, and on its first showing.
    if (watched == table->viewport() && event->type() == QEvent::Resize)
        fitColumns();
    return QWidget::eventFilter(watched, event);
}

void DataPage::fitColumns()
{
    if (columnWidths.size() != rowsModel->columnCount() - 1)
        return;
    const int actionColumn = actionDelegate->column();
    QHeaderView *header = table->horizontalHeader();
    // The room of a hidden table is not known yet: it is fitted again when it is shown.
    const int room = table->isVisible() ? table->viewport()->width() - header->sectionSize(actionColumn)
                                        : std::numeric_limits<int>::max();
    const int level = fittingLevel(columnWidths.mid(0, qMax(0, actionColumn)), room);
    for (int column = 0; column < columnWidths.size(); ++column) {
        if (column == actionColumn)
            continue;
        const int limit = column < actionColumn ? level : maxColumnWidth;
        header->resizeSection(column, qMin(columnWidths.at(column), limit));
    }
}

void DataPage::onClicked(const QModelIndex &index)
{
    const QString id = rowsModel->isTree() && index.column() == 0 ? rowsModel->idAt(index.row()) : QString();
    if (!rowsModel->isParent(id)) {
        lastToggledId.clear();
        return;
    }
    // The second click of a double click arrives after the first one has toggled: it opens rather
    // than toggling back, so that a double click on a folded name opens it.
    const bool secondOfDouble = id == lastToggledId && lastToggleClock.isValid()
                                && lastToggleClock.elapsed() < QApplication::doubleClickInterval();
    lastToggledId = secondOfDouble ? QString() : id;
    lastToggleClock.start();
    // The rows under the click change, so the toggle waits until the click is over.
    QTimer::singleShot(0, this, [this, id, secondOfDouble] {
        if (secondOfDouble)
            rowsModel->unfold(id);
        else
            rowsModel->toggleFold(id);
        refresh(true);
    });
}

void DataPage::onDoubleClicked(const QModelIndex &index)
{
    const QString id = currentRowId();
    const bool parent = rowsModel->isTree() && rowsModel->isParent(id);
    // On a parent's name the clicks themselves open it.
    if (parent && index.column() == 0)
        return;
    if (parent) {
        QTimer::singleShot(0, this, [this] {
            QMessageBox::information(
                this, QStringLiteral("这是主级分类"),
                QStringLiteral("它下面还有子分类，不能直接修改。\n\n单击名称可以展开/收起子分类。"));
        });
        return;
    }
    QTimer::singleShot(0, this, &DataPage::onEditRow);
}

void DataPage::runOnRow(int row, void (DataPage::*action)())
{
    QTimer::singleShot(0, this, [this, row, action] {
        if (row >= rowsModel->rowCount())
            return;
        table->setCurrentIndex(rowsModel->index(row, 0));
        (this->*action)();
    });
}

bool DataPage::selectedRow(const TableInfo **info, QString *id)
{
    if (!table->currentIndex().isValid()) {
        QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("请先选中一行"));
        return false;
    }
    *info = currentTable();
    if (!*info)
        return false;
    *id = currentRowId();
    if (id->isEmpty()) {
        QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("读不到这一行的 ID，请重新选一行再试"));
        return false;
    }
    return true;
}

void DataPage::onAddRow()
{
    const TableInfo *info = currentTable();
    if (!info)
        return;
    RowEditor editor(info->key, QStringLiteral("新增") + info->label, info->columns.mid(1), QJsonObject(), true, this);
    if (editor.exec() != QDialog::Accepted)
        return;
    const QJsonObject values = editor.values();
    if (values.isEmpty())
        return;

    applyChange(*info, QStringLiteral("新增"), QString(), QStringLiteral("数据库没有存下这一条"),
                [key = info->key, values](QString *error) { return Database::instance().upsert(key, values, error); });
}

void DataPage::onEditRow()
{
    const TableInfo *info = nullptr;
    QString id;
    if (!selectedRow(&info, &id))
        return;
    Database &db = Database::instance();
    if (isTreeTable(info->key) && db.hasChildren(info->key, id)) {
        QMessageBox::information(
            this, QStringLiteral("这是主级，不能修改"),
            QStringLiteral(
                "它下面还有子分类/子存放处。\n\n要改它，先把下面的子项处理掉；或者双击名称左边的箭头展开。"));
        return;
    }

    const RowTable &records = rows();
    const int row = records.rowWithText(records.columnIndex(QStringLiteral("id")), id);
    if (row < 0)
        return;

    RowEditor editor(info->key, QStringLiteral("修改") + info->label, info->columns.mid(1), records.record(row), false,
                     this);
    if (editor.exec() != QDialog::Accepted)
        return;
    const QJsonObject values = editor.values();
    if (values.isEmpty())
        return;

    applyChange(*info, QStringLiteral("修改"), id, QStringLiteral("数据库没有存下这次修改"),
                [key = info->key, id, values](QString *error) {
                    return Database::instance().updateRecord(key, id, values, error) ? id : QString();
                });
}

void DataPage::onDeleteRow()
{
    const TableInfo *info = nullptr;
    QString id;
    if (!selectedRow(&info, &id) || !confirmRowDeletion(this, *info, id, childCount(id)))
        return;

    applyChange(*info, QStringLiteral("删除"), id, QStringLiteral("数据库没有删掉这一条"),
                [key = info->key, id](QString *error) {
                    return Database::instance().softDelete(key, id, error) ? id : QString();
                });
}

void DataPage::applyChange(const TableInfo &info, const QString &action, const QString &id, const QString &failure,
                           std::function<QString(QString *error)> write)
{
    struct Saved
    {
        QString changed;
        QString error;
    };
    const QString target = id.isEmpty() ? info.key : QStringLiteral("%1 #%2").arg(info.key, id);
    const QString label = info.label;
    // The page goes on answering while the version and the change are written; the storage thread may
    // be busy with a phone's push first.
    startSaving(QStringLiteral("正在保存…"));
    StorageThread::run(
        storage, this,
        [target, action, label, write = std::move(write)] {
            Database &db = Database::instance();
            Saved saved;
            // A change goes on without its version only for a fault of the moment; a disk too full for
            // the version refuses the change too, before anything is written.
            if (!db.saveVersion(QStringLiteral("界面%1 %2 前").arg(action, target), QStringLiteral("qt"), &saved.error)
                && diskspace::isShortage(saved.error))
                return saved;
            saved.error.clear();
            saved.changed = write(&saved.error);
            if (!saved.changed.isEmpty())
                db.logSync(QStringLiteral("qt-ui"), action, QStringLiteral("%1 %2").arg(label, saved.changed));
            return saved;
        },
        [this, action, failure](const Saved &saved) {
            endSaving();
            if (saved.changed.isEmpty()) {
                showCount();
                // Nothing was changed: say so rather than log it as done. The version above stays.
                QMessageBox::warning(this, action + QStringLiteral("失败"),
                                     saved.error.isEmpty() ? failure + QStringLiteral("。")
                                                           : failure + QStringLiteral("：\n") + saved.error);
                return;
            }
            refreshInPlace();
            Q_EMIT changeSaved();
        });
}

void DataPage::startSaving(const QString &what)
{
    ++saving;
    setCursor(Qt::BusyCursor);
    countLabel->setText(countLabel->text() + QStringLiteral("\u3000") + what);
}

void DataPage::endSaving()
{
    if (--saving == 0)
        unsetCursor();
}

void DataPage::onExportCsv()
{
    const TableInfo *info = currentTable();
    if (!info)
        return;
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("导出 CSV"),
                                                      QDir(csvFolder).filePath(info->key + QStringLiteral(".csv")),
                                                      QStringLiteral("CSV (*.csv)"));
    if (path.isEmpty())
        return;
    csvFolder = QFileInfo(path).absolutePath();
    exportCsv(this, *info, rows(), path);
}

void DataPage::onImportCsv()
{
    if (!currentTable())
        return;
    const QString path =
        QFileDialog::getOpenFileName(this, QStringLiteral("导入 CSV"), csvFolder, QStringLiteral("CSV (*.csv *.txt)"));
    if (path.isEmpty())
        return;
    csvFolder = QFileInfo(path).absolutePath();
    importCsv(path);
}

void DataPage::importCsv(const QString &path)
{
    const TableInfo *info = currentTable();
    if (!info)
        return;
    const auto refuse = [this](const QString &reason) {
        QMessageBox::warning(this, QStringLiteral("导入失败"), reason + QStringLiteral("\n\n没有导入任何数据。"));
    };

    Database &db = Database::instance();
    QString error;
    auto basis = std::make_shared<ImportBasis>();
    if (!db.importBasis(info->key, basis.get(), &error))
        return refuse(QStringLiteral("读不出「%1」表现有的数据：\n%2").arg(info->label, error));

    // Reading and planning a large file take most of a second: they run on a thread of their own while
    // the window goes on answering, and the page takes no other action meanwhile.
    struct Prepared
    {
        csvtext::Document file;
        ImportPlan plan;
        QString error;
    };
    auto prepared = std::make_shared<Prepared>();
    const TableInfo table = *info;
    QThread *worker = QThread::create([path, table, basis, prepared] {
        QByteArray bytes;
        if (!csvtext::load(path, &bytes, &prepared->error))
            return;
        prepared->file = csvtext::parse(bytes);
        bytes.clear();
        if (!prepared->file.error.isEmpty())
            prepared->error = prepared->file.error;
        else
            prepared->plan = ImportPlanner::plan(table, prepared->file, *basis);
        handoff::release(prepared.get());
    });
    QEventLoop waiting;
    connect(worker, &QThread::finished, &waiting, &QEventLoop::quit);
    setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    worker->start();
    waiting.exec();
    worker->wait();
    delete worker;
    handoff::acquire(prepared.get());
    QApplication::restoreOverrideCursor();
    setEnabled(true);
    basis.reset();
    // The window was closed meanwhile.
    if (!window()->isVisible())
        return;
    if (!prepared->error.isEmpty())
        return refuse(prepared->error);
    const csvtext::Document &file = prepared->file;
    const ImportPlan &plan = prepared->plan;
    if (!plan.refusal.isEmpty())
        return refuse(plan.refusal);

    ImportPreview preview(path, file, plan, *info, this);
    if (preview.exec() != QDialog::Accepted || plan.rows.isEmpty())
        return;

    // Written on the storage thread in its turn, whole or not at all; the page goes on answering.
    const QString fileName = QFileInfo(path).fileName();
    const QString label = info->label;
    struct Written
    {
        bool done = false;
        QString error;
    };
    startSaving(QStringLiteral("正在导入…"));
    StorageThread::run(
        storage, this,
        [prepared, fileName] {
            Written written;
            written.done = Database::instance().importRows(prepared->plan, fileName, &written.error);
            return written;
        },
        [this, prepared, fileName, label, refuse](const Written &written) {
            endSaving();
            if (!written.done) {
                showCount();
                return refuse(QStringLiteral("数据库没有存下这次导入，表里的数据保持原样：\n%1").arg(written.error));
            }
            refreshInPlace();
            Q_EMIT changeSaved();
            const ImportPlan &plan = prepared->plan;
            // One arg() for all: a file name may itself hold "%1".
            const QString skipped = plan.errors.isEmpty()
                                        ? QString()
                                        : QStringLiteral("\n有错的 %1 行没有导入。").arg(plan.errorRecords().size());
            QMessageBox::information(this, QStringLiteral("导入完成"),
                                     QStringLiteral("已从「%1」导入到%2：\n新增 %3 条，更新 %4 条，未变 %5 条。%6")
                                         .arg(fileName, label, QString::number(plan.inserts()),
                                              QString::number(plan.updates()), QString::number(plan.unchanged),
                                              skipped));
        });
}
