#include "app/paths.h"
#include "catalogue/catalogue.h"
#include "storage/database.h"
#include "storage/diskspace.h"
#include "testmain.h"
#include "teststorage.h"
#include "testutil.h"
#include "ui/actiondelegate.h"
#include "ui/csvexport.h"
#include "ui/displaycache.h"
#include "ui/mainwindow.h"
#include "ui/roweditor.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFormLayout>
#include <QHeaderView>
#include <QJsonDocument>
#include <QScrollBar>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QToolTip>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString hint = QStringLiteral("\u3000\u00B7\u3000单击分类名可展开/收起；主级（带 ▼▶）不能改删，只叶子可以");
const QString stamp = QStringLiteral("2024-01-01 00:00:00");

// The program's connection belongs to its storage thread: the test reads and writes the file on a
// connection of its own, as another program would.
QSqlDatabase direct()
{
    const QString name = QStringLiteral("test-direct");
    QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false)
                                                   : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    if (!db.isOpen()) {
        db.setDatabaseName(databasePath());
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        db.open();
    }
    return db;
}

void closeDirect()
{
    QSqlDatabase::database(QStringLiteral("test-direct"), false).close();
}

QSqlQuery sql(const QString &statement, const QVariantList &values = {})
{
    QSqlQuery query(direct());
    query.prepare(statement);
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        qWarning() << "test statement failed:" << statement;
    return query;
}

int scalar(const QString &statement, const QVariantList &values = {})
{
    QSqlQuery query = sql(statement, values);
    return query.next() ? query.value(0).toInt() : -1;
}

// The newest sync-log row as "peer|direction|summary".
QString lastSyncLog()
{
    QSqlQuery query = sql(QStringLiteral("SELECT peer, direction, summary FROM sync_log ORDER BY id DESC LIMIT 1"));
    if (!query.next())
        return QString();
    return QStringList{query.value(0).toString(), query.value(1).toString(), query.value(2).toString()}.join('|');
}

// The newest version as "reason|source".
QString lastVersion()
{
    QSqlQuery query = sql(QStringLiteral("SELECT reason, source FROM versions ORDER BY id DESC LIMIT 1"));
    if (!query.next())
        return QString();
    return query.value(0).toString() + '|' + query.value(1).toString();
}

void put(const QString &table, const QJsonObject &record)
{
    testutil::putRow(table, record, stamp);
}

// Runs `fill` on the next modal dialog that is not a message box, then presses "保存" (or "取消").
void answerNextDialog(std::function<void(QDialog *)> fill, bool save = true)
{
    testutil::answerNextDialog([fill, save](QDialog *dialog) {
        if (fill)
            fill(dialog);
        QPushButton *button = testutil::findButton(dialog, save ? QStringLiteral("保存") : QStringLiteral("取消"));
        if (button)
            button->click();
        else
            dialog->reject();
    });
}

QStringList comboTexts(QComboBox *combo)
{
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts.append(combo->itemText(i));
    return texts;
}

} // namespace

class DataPageTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<testutil::WindowParts> t;

    QTableView *table() const { return t->dataPage->view(); }

    // The editor as the page opens it; the values entered, or none when it is cancelled.
    QJsonObject showRowEditor(const QString &table, const QString &title, const QStringList &fields,
                              const QJsonObject &existing, bool isNew)
    {
        RowEditor editor(table, title, fields, existing, isNew, t->dataPage);
        return editor.exec() == QDialog::Accepted ? editor.values() : QJsonObject();
    }

    // What the page's export writes, into path instead of a file the operator chooses.
    void exportShownTable(const QString &path)
    {
        exportCsv(t->dataPage, *t->dataPage->currentTable(), t->dataPage->rows(), path);
    }

    void showTable(const QString &key)
    {
        t->dataPage->tableChooser()->setCurrentIndex(t->dataPage->tableChooser()->findData(key));
        t->dataPage->refresh();
    }

    int columnOf(const QString &header) const
    {
        for (int c = 0; c < table()->model()->columnCount(); ++c) {
            if (table()->model()->headerData(c, Qt::Horizontal).toString() == header)
                return c;
        }
        return -1;
    }

    QStringList columnTexts(const QString &header) const { return testutil::columnTexts(table(), header); }

    int rowOf(const QString &id) const
    {
        for (int r = 0; r < testutil::rowCount(table()); ++r) {
            if (testutil::cellData(table(), r, 0, Qt::UserRole).toString() == id)
                return r;
        }
        return -1;
    }

    QPushButton *toolbarButton(const QString &text) const
    {
        for (QPushButton *button : t->dataPage->findChildren<QPushButton *>()) {
            if (button->text() == text)
                return button;
        }
        return nullptr;
    }

    // What a mouse sends for a double click: a click, then the double-click press and its release.
    void doubleClickAt(const QPoint &pos)
    {
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, pos);
        QTest::mouseDClick(table()->viewport(), Qt::LeftButton, {}, pos);
    }

    QPoint actionButtonCenter(int row, int button) const
    {
        ActionDelegate *delegate = t->dataPage->actions();
        const QModelIndex index = table()->model()->index(row, delegate->column());
        const bool parent = testutil::cellData(table(), row, 0, ActionDelegate::ParentRole).toBool();
        return delegate->buttonRect(table()->visualRect(index), button, parent).center();
    }

    // Categories: 工具 (t) over 锤子 (h) and 锯子 (s), 箱子 (b) over 抽屉 (d), and a lone leaf 胶带 (g).
    void seedCategories()
    {
        put(QStringLiteral("categories"), {{"id", "t"}, {"name", "工具"}, {"fullPath", "工具"}});
        put(QStringLiteral("categories"), {{"id", "h"}, {"name", "锤子"}, {"parentId", "t"}, {"fullPath", "锤子"}});
        put(QStringLiteral("categories"), {{"id", "s"}, {"name", "锯子"}, {"parentId", "t"}, {"fullPath", "锯子"}});
        put(QStringLiteral("categories"), {{"id", "b"}, {"name", "箱子"}, {"fullPath", "箱子"}});
        put(QStringLiteral("categories"),
            {{"id", "d"}, {"name", "抽屉"}, {"parentId", "b"}, {"fullPath", "箱子/抽屉"}});
        put(QStringLiteral("categories"), {{"id", "g"}, {"name", "胶带"}, {"fullPath", "胶带"}});
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(testutil::resetProgramFolder(testutil::quietConfig()));
        window = std::make_unique<MainWindow>();
        t = std::make_unique<testutil::WindowParts>(*window);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QVERIFY(Database::instance().isOpen());
    }

    void cleanup()
    {
        closeDirect();
        // A box or dialog that a failed case never showed must not be answered in the next case.
        qDeleteAll(qApp->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly));
        diskspace::setMargin(-1);
        t.reset();
        window.reset();
    }

    void columnLayout_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QStringList>("headers");
        QTest::newRow("items") << "items"
                               << QStringList{"条码号",     "名称", "所属分类", "存放位置", "数量",    "单价",
                                              "预期出库价", "编码", "操作",     "创建时间", "更新时间"};
        QTest::newRow("transactions") << "transactions" << QStringList{"关联物品", "类型",     "数量", "单价",
                                                                       "操作人",   "付款方式", "客户", "收款状态",
                                                                       "物品名称", "客户名称", "操作", "创建时间"};
        QTest::newRow("categories") << "categories"
                                    << QStringList{"名称", "上级分类/存放处", "完整路径", "操作", "创建时间"};
        QTest::newRow("locations") << "locations"
                                   << QStringList{"名称", "描述", "上级分类/存放处", "完整路径", "操作", "创建时间"};
        QTest::newRow("customers") << "customers" << QStringList{"名称", "电话", "地址", "操作", "创建时间"};
        QTest::newRow("relations") << "relations" << QStringList{"关联物品", "被关联物品", "数量", "操作", "创建时间"};
    }

    void columnLayout()
    {
        QFETCH(QString, key);
        QFETCH(QStringList, headers);
        put(key, {{"id", "r1"}, {"name", "行"}});
        showTable(key);
        QStringList shown;
        for (int c = 0; c < table()->model()->columnCount(); ++c)
            shown.append(table()->model()->headerData(c, Qt::Horizontal).toString());
        QCOMPARE(shown, headers);
        QCOMPARE(testutil::rowCount(table()), 1);
        const int action = int(headers.indexOf(QStringLiteral("操作")));
        QCOMPARE(t->dataPage->actions()->column(), action);
        // Every cell carries the row's id, the action cell included; the action cell shows no text.
        for (int c = 0; c < table()->model()->columnCount(); ++c) {
            QCOMPARE(testutil::cellData(table(), 0, c, Qt::UserRole).toString(), QStringLiteral("r1"));
            if (c == action)
                QVERIFY(testutil::cell(table(), 0, c).isEmpty());
        }
        QCOMPARE(t->dataPage->countLine()->text(),
                 key == "categories" || key == "locations" ? "共 1 条" + hint : QStringLiteral("共 1 条"));
    }

    void search_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("letter case") << "ab" << QStringList{"AB-12"};
        QTest::newRow("trimmed") << "  Ab " << QStringList{"AB-12"};
        QTest::newRow("barcode, not quantity") << "3" << QStringList{"挂钩"};
        QTest::newRow("hidden category path") << "扳手" << QStringList{"套筒"};
        QTest::newRow("hidden pinyin") << "luosi" << QStringList{"螺丝"};
        QTest::newRow("nothing") << "zzz" << QStringList{};
    }

    void search()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, names);
        put("items", {{"id", "ia"}, {"name", "AB-12"}, {"barcode", "111"}});
        put("items", {{"id", "ib"}, {"name", "挂钩"}, {"barcode", "300"}});
        put("items", {{"id", "ic"}, {"name", "垫片"}, {"barcode", "999"}, {"quantity", 3}});
        put("items", {{"id", "id"}, {"name", "套筒"}, {"categoryPath", "工具 > 扳手"}});
        put("items", {{"id", "ie"}, {"name", "螺丝"}, {"pinyin", "luosi"}});
        showTable("items");
        QCOMPARE(testutil::rowCount(table()), 5);

        t->dataPage->searchField()->setText(text);
        QStringList shown = columnTexts("名称");
        shown.sort();
        names.sort();
        QCOMPARE(shown, names);
        QCOMPARE(t->dataPage->countLine()->text(),
                 QStringLiteral("共 %1 条（已按「%2」过滤）").arg(names.size()).arg(text.trimmed()));
        QCOMPARE(t->dataPage->rows().rowCount(), 5);
    }

    // At 100,000 rows a refresh after a change keeps the selected row and the scroll position, every
    // cell of a row carries its id, and a search finds rows by text stored as ASCII and as other text.
    void largeTableKeepsItsPlace()
    {
        constexpr int count = 100000;
        QSqlDatabase connection = direct();
        QVERIFY(connection.transaction());
        QSqlQuery insert(connection);
        QVERIFY(insert.prepare(QStringLiteral("INSERT INTO items (id, barcode, name, quantity, createdAt, updatedAt, "
                                              "serverUpdatedAt, deleted) VALUES (?, ?, ?, ?, ?, ?, ?, 0)")));
        for (int i = 0; i < count; ++i) {
            insert.addBindValue(QStringLiteral("i%1").arg(i, 6, 10, QLatin1Char('0')));
            insert.addBindValue(QStringLiteral("BC%1").arg(i));
            insert.addBindValue(QStringLiteral("零件%1").arg(i));
            insert.addBindValue(i % 7 == 0 ? QVariant(i / 4.0) : QVariant(i));
            insert.addBindValue(stamp);
            insert.addBindValue(stamp);
            insert.addBindValue(stamp);
            QVERIFY(insert.exec());
        }
        QVERIFY(connection.commit());
        showTable("items");
        QCOMPARE(testutil::rowCount(table()), count);

        const int row = rowOf("i070001");
        QVERIFY(row >= 0);
        testutil::selectRow(table(), row, 2);
        table()->scrollTo(table()->currentIndex(), QAbstractItemView::PositionAtCenter);
        const int scrolled = table()->verticalScrollBar()->value();
        QVERIFY(scrolled > 0);
        for (int c = 0; c < table()->model()->columnCount(); ++c)
            QCOMPARE(testutil::cellData(table(), row, c, Qt::UserRole).toString(), QStringLiteral("i070001"));
        QCOMPARE(testutil::cell(table(), row, columnOf("数量")), QStringLiteral("70001"));
        QCOMPARE(testutil::cell(table(), rowOf("i000007"), columnOf("数量")), QStringLiteral("1.75"));

        put(QStringLiteral("items"), {{"id", "i000000"}, {"name", "改过的"}, {"updatedAt", "2030-01-01 00:00:00"}});
        t->dataPage->refresh(true);
        QCOMPARE(testutil::rowCount(table()), count);
        QCOMPARE(t->dataPage->currentRowId(), QStringLiteral("i070001"));
        QCOMPARE(table()->verticalScrollBar()->value(), scrolled);
        QCOMPARE(testutil::cell(table(), rowOf("i000000"), columnOf("名称")), QStringLiteral("改过的"));

        t->dataPage->searchField()->setText(QStringLiteral("bc7000"));
        QCOMPARE(columnTexts("条码号"), (QStringList{"BC7000", "BC70000", "BC70001", "BC70002", "BC70003", "BC70004",
                                                     "BC70005", "BC70006", "BC70007", "BC70008", "BC70009"}));
        t->dataPage->searchField()->setText(QStringLiteral("零件9999"));
        QCOMPARE(columnTexts("名称"),
                 (QStringList{"零件9999", "零件99990", "零件99991", "零件99992", "零件99993", "零件99994", "零件99995",
                              "零件99996", "零件99997", "零件99998", "零件99999"}));
        QCOMPARE(t->dataPage->rows().rowCount(), count);
    }

    void cellTexts()
    {
        put("categories", {{"id", "c1"}, {"name", "工具"}});
        put("categories", {{"id", "c2"}, {"name", "扳手"}, {"parentId", "c1"}});
        put("items", {{"id", "i1"},
                      {"name", "套筒"},
                      {"barcode", "6901"},
                      {"categoryId", "c2"},
                      {"locationId", "nowhere"},
                      {"quantity", 2.0},
                      {"unitPrice", 2.5},
                      {"expectedOutPrice", -0.25}});
        showTable("items");
        QCOMPARE(testutil::rowCount(table()), 1);
        QCOMPARE(columnTexts("数量"), QStringList{"2"});
        QCOMPARE(columnTexts("单价"), QStringList{"2.50"});
        QCOMPARE(columnTexts("预期出库价"), QStringList{"-0.25"});
        QCOMPARE(columnTexts("所属分类"), QStringList{"工具 > 扳手"});
        QCOMPARE(columnTexts("存放位置"), QStringList{"nowhere"});

        put("transactions", {{"id", "t1"}, {"type", "out"}, {"status", "paid"}, {"paymentMethod", "credit"}});
        put("transactions", {{"id", "t2"}, {"type", "adjust"}, {"status", "unpaid"}, {"paymentMethod", "cash"}});
        put("transactions", {{"id", "t3"}, {"type", "in"}, {"status", "paid?"}, {"paymentMethod", "Cash"}});
        showTable("transactions");
        QCOMPARE(columnTexts("类型"), (QStringList{"出库", "adjust", "入库"}));
        QCOMPARE(columnTexts("收款状态"), (QStringList{"已收", "未收", "paid?"}));
        QCOMPARE(columnTexts("付款方式"), (QStringList{"赊账", "现金", "Cash"}));
    }

    // The page builds paths from one read of each tree; what it shows must be what storage's lookup says.
    void displayCacheAgreesWithStorage()
    {
        Database &db = Database::instance();
        put("categories", {{"id", "a"}, {"name", "A"}});
        put("categories", {{"id", "b"}, {"name", "B"}, {"parentId", "a"}});
        put("categories", {{"id", "gone"}, {"name", "旧的"}});
        put("categories", {{"id", "orphan"}, {"name", "孤儿"}, {"parentId", "gone"}});
        put("categories", {{"id", "self"}, {"name", "环"}, {"parentId", "self"}});
        put("categories", {{"id", "blank"}, {"name", ""}});
        put("locations", {{"id", "l1"}, {"name", "仓库"}});
        put("locations", {{"id", "l2"}, {"name", "货架"}, {"parentId", "l1"}});
        put("items", {{"id", "i1"}, {"name", "锤"}, {"barcode", "42"}});
        put("customers", {{"id", "k1"}, {"name", "张三"}});
        QVERIFY(db.softDelete("categories", "gone", nullptr));

        const QList<QPair<QString, QString>> probes = {
            {"categoryId", "b"},    {"categoryId", "a"},     {"categoryId", "orphan"}, {"categoryId", "gone"},
            {"categoryId", "self"}, {"categoryId", "blank"}, {"categoryId", "nope"},   {"categoryId", ""},
            {"locationId", "l2"},   {"locationId", "b"},     {"parentId", "l1"},       {"parentId", "a"},
            {"itemId", "i1"},       {"relatedItemId", "x"},  {"customerId", "k1"},     {"customerId", "k9"},
        };
        DisplayCache cache;
        for (int pass = 0; pass < 2; ++pass) {
            for (const auto &[column, value] : probes)
                QCOMPARE(cache.text(column, value), db.displayValue(column, value));
        }
        QCOMPARE(cache.text("categoryId", "b"), QStringLiteral("A > B"));
        QCOMPARE(cache.text("categoryId", "self").count(QStringLiteral("环")), 50);
    }

    void foldedParentUnfoldsOnNameClick()
    {
        put("categories", {{"id", "p"}, {"name", "五金"}});
        put("categories", {{"id", "k2"}, {"name", "b"}, {"parentId", "p"}});
        put("categories", {{"id", "k1"}, {"name", "a"}, {"parentId", "p"}});
        put("categories", {{"id", "k3"}, {"name", "c"}, {"parentId", "p"}});
        showTable("categories");

        QCOMPARE(testutil::rowCount(table()), 1);
        QCOMPARE(testutil::cell(table(), 0, 0), QStringLiteral("▶ 五金  (3)"));
        QCOMPARE(testutil::cellData(table(), 0, 0, Qt::FontRole).value<QFont>().weight(), QFont::Bold);
        QCOMPARE(testutil::cellData(table(), 0, 0, Qt::ForegroundRole).value<QBrush>().color(), QColor("#2980B9"));
        QCOMPARE(testutil::cellData(table(), 0, 0, Qt::ToolTipRole).toString(),
                 QStringLiteral("点一下展开 3 个子分类"));
        QVERIFY(testutil::cellData(table(), 0, 0, ActionDelegate::ParentRole).toBool());
        QCOMPARE(t->dataPage->countLine()->text(), "共 1 条" + hint);
        QCOMPARE(table()->viewport()->cursor().shape(), Qt::PointingHandCursor);

        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, testutil::cellRect(table(), 0, 0).center());
        QTRY_COMPARE(testutil::rowCount(table()), 4);
        QCOMPARE(columnTexts("名称"), (QStringList{"▼ 五金  (3)", "       a", "       b", "       c"}));
        QCOMPARE(testutil::cellData(table(), 0, 0, Qt::ToolTipRole).toString(), QStringLiteral("点一下收起子分类"));
        QVERIFY(!testutil::cellData(table(), 1, 0, ActionDelegate::ParentRole).toBool());
        QCOMPARE(testutil::cellData(table(), 1, 0, Qt::FontRole).value<QFont>().weight(), QFont::Normal);
        QCOMPARE(t->dataPage->countLine()->text(), "共 4 条" + hint);

        // A click on a leaf's name, or on another column of the parent, folds nothing.
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, testutil::cellRect(table(), 1, 0).center());
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, testutil::cellRect(table(), 0, 2).center());
        QTest::qWait(30);
        QCOMPARE(testutil::rowCount(table()), 4);

        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, testutil::cellRect(table(), 0, 0).center());
        QTRY_COMPARE(testutil::rowCount(table()), 1);
        QVERIFY(t->dataPage->model()->expanded().isEmpty());
    }

    // The two notes that say to double-click the arrow hold: a double click on a folded name opens it,
    // whether or not the table was rebuilt between the two clicks.
    void doubleClickOpensAFoldedParent_data()
    {
        QTest::addColumn<bool>("rebuiltBetween");
        QTest::newRow("rebuilt between the clicks") << true;
        QTest::newRow("one event run") << false;
    }

    void doubleClickOpensAFoldedParent()
    {
        QFETCH(bool, rebuiltBetween);
        seedCategories();
        showTable("categories");
        QCOMPARE(testutil::rowCount(table()), 3);
        QList<testutil::SeenBox> seen;
        auto *watch = new QTimer(qApp);
        connect(watch, &QTimer::timeout, qApp, [&seen] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                seen.append({box->windowTitle(), box->text()});
                box->reject();
            }
        });
        watch->start(10);
        const QPoint name = testutil::cellRect(table(), rowOf("t"), 0).center();
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, name);
        if (rebuiltBetween)
            QTRY_COMPARE(testutil::rowCount(table()), 5);
        QTest::mouseDClick(table()->viewport(), Qt::LeftButton, {}, name);
        QTest::qWait(100);
        QCOMPARE(testutil::rowCount(table()), 5);
        QVERIFY(t->dataPage->model()->expanded().contains("t"));
        QCOMPARE(seen.size(), 0);

        // Later single clicks still fold and unfold.
        QTest::qWait(QApplication::doubleClickInterval());
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, name);
        QTRY_COMPARE(testutil::rowCount(table()), 3);
    }

    void lastColumnStretchesAfterEveryRefresh()
    {
        seedCategories();
        showTable("categories");
        QVERIFY(testutil::lastColumnFillsTheTable(table()));
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, testutil::cellRect(table(), rowOf("t"), 0).center());
        QTRY_COMPARE(testutil::rowCount(table()), 5);
        QVERIFY(testutil::lastColumnFillsTheTable(table()));
        t->dataPage->searchField()->setText("锤");
        QCOMPARE(testutil::rowCount(table()), 1);
        QVERIFY(testutil::lastColumnFillsTheTable(table()));
        showTable("items");
        QVERIFY(testutil::lastColumnFillsTheTable(table()));
    }

    // One long name must not push the numbers and the actions off a window of the default size.
    void longTextsAreCappedAndShownInTheirTooltip_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("header");
        QTest::newRow("items") << "items"
                               << "name"
                               << "名称";
        QTest::newRow("transactions") << "transactions"
                                      << "itemName"
                                      << "物品名称";
        QTest::newRow("relations") << "relations"
                                   << "itemId"
                                   << "关联物品";
    }

    void longTextsAreCappedAndShownInTheirTooltip()
    {
        QFETCH(QString, key);
        QFETCH(QString, column);
        QFETCH(QString, header);
        const QString longText = QStringLiteral("特别长的名称").repeated(20);
        put("items", {{"id", "long"}, {"name", longText}});
        QJsonObject record{
            {"id", "r1"}, {column, key == "relations" ? QStringLiteral("long") : longText}, {"quantity", 7}};
        // A transaction shows the long name twice: as its item and as its item's name.
        if (key == "transactions")
            record.insert("itemId", "long");
        put(key, record);
        showTable(key);
        QCOMPARE(window->size(), QSize(1180, 760));
        const int row = rowOf("r1");
        QVERIFY(row >= 0);
        const int capped = columnOf(header);
        QVERIFY(table()->columnWidth(capped) <= 320);
        QVERIFY(table()->columnWidth(capped) >= 100);
        QHeaderView *sections = table()->horizontalHeader();
        for (const QString &shown : {QStringLiteral("数量"), QStringLiteral("操作")}) {
            const int c = columnOf(shown);
            QVERIFY2(sections->sectionViewportPosition(c) + sections->sectionSize(c) <= table()->viewport()->width(),
                     qPrintable(shown));
        }

        const QRect cell = testutil::cellRect(table(), row, capped);
        QHelpEvent tip(QEvent::ToolTip, cell.center(), table()->viewport()->mapToGlobal(cell.center()));
        QApplication::sendEvent(table()->viewport(), &tip);
        QCOMPARE(QToolTip::text(), testutil::cell(table(), row, capped));
        QVERIFY(QToolTip::text().contains(longText));
        QToolTip::hideText();

        // A text that fits has no tooltip.
        const QRect whole = testutil::cellRect(table(), row, columnOf("数量"));
        QHelpEvent none(QEvent::ToolTip, whole.center(), table()->viewport()->mapToGlobal(whole.center()));
        QApplication::sendEvent(table()->viewport(), &none);
        QTRY_VERIFY(!QToolTip::isVisible());
    }

    void searchUnfoldsAndClearingRestoresFolds()
    {
        seedCategories();
        t->dataPage->model()->unfold("b");
        showTable("categories");
        QCOMPARE(columnTexts("名称"), (QStringList{"▶ 工具  (2)", "▼ 箱子  (1)", "       抽屉", "   胶带"}));

        t->dataPage->searchField()->setText("t");
        QCOMPARE(columnTexts("名称"), (QStringList{"▼ 工具  (2)", "       锤子", "       锯子"}));
        QCOMPARE(testutil::cellData(table(), 0, 0, Qt::ToolTipRole).toString(), QStringLiteral("点一下收起子分类"));
        QCOMPARE(t->dataPage->countLine()->text(), "共 3 条（已按「t」过滤）" + hint);

        // Children whose parents failed the search stand at the top level.
        t->dataPage->searchField()->setText("子");
        QCOMPARE(columnTexts("名称"), (QStringList{"▼ 箱子  (1)", "       抽屉", "   锤子", "   锯子"}));

        t->dataPage->searchField()->clear();
        QCOMPARE(columnTexts("名称"), (QStringList{"▶ 工具  (2)", "▼ 箱子  (1)", "       抽屉", "   胶带"}));
    }

    void loopsAreNotShown()
    {
        put("categories", {{"id", "x"}, {"name", "甲"}, {"parentId", "y"}});
        put("categories", {{"id", "y"}, {"name", "乙"}, {"parentId", "x"}});
        put("categories", {{"id", "z"}, {"name", "丙"}, {"parentId", "z"}});
        put("categories", {{"id", "r"}, {"name", "根"}});
        showTable("categories");
        QCOMPARE(columnTexts("名称"), QStringList{"   根"});
    }

    void parentButtonsAreInertAndLeafButtonsAct()
    {
        seedCategories();
        t->dataPage->model()->unfold("t");
        showTable("categories");
        const int parent = rowOf("t");
        const int leaf = rowOf("h");
        QVERIFY(parent >= 0 && leaf > parent);

        const QPoint help = actionButtonCenter(parent, 0);
        QHelpEvent tip(QEvent::ToolTip, help, table()->viewport()->mapToGlobal(help));
        QApplication::sendEvent(table()->viewport(), &tip);
        QCOMPARE(QToolTip::text(), QStringLiteral("这下面是主级分类，需先处理完它的子分类才能修改"));
        QToolTip::hideText();

        // A parent's buttons open nothing; the click only reaches the row, as on a disabled button.
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, actionButtonCenter(parent, 1));
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, actionButtonCenter(parent, 0));
        QTest::qWait(50);
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(table()->currentIndex().row(), parent);

        QString title;
        answerNextDialog([&title](QDialog *dialog) { title = dialog->windowTitle(); }, false);
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, actionButtonCenter(leaf, 0));
        QTRY_COMPARE(title, QStringLiteral("修改分类"));
        QCOMPARE(t->dataPage->currentRowId(), QStringLiteral("h"));

        QString question;
        testutil::answerNextBox(QMessageBox::No, &question);
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, actionButtonCenter(rowOf("s"), 1));
        QTRY_COMPARE(question, QStringLiteral("确定删除这一条吗？\n\n可以到「历史版本」里回滚找回。"));
        QCOMPARE(t->dataPage->currentRowId(), QStringLiteral("s"));
    }

    void doubleClick()
    {
        seedCategories();
        showTable("categories");
        QString title;
        QString text;
        testutil::answerNextBox(QMessageBox::Ok, &text, &title);
        doubleClickAt(testutil::cellRect(table(), rowOf("t"), 2).center());
        QTRY_COMPARE(title, QStringLiteral("这是主级分类"));
        QCOMPARE(text, QStringLiteral("它下面还有子分类，不能直接修改。\n\n单击名称可以展开/收起子分类。"));

        QString editor;
        answerNextDialog([&editor](QDialog *dialog) { editor = dialog->windowTitle(); }, false);
        doubleClickAt(testutil::cellRect(table(), rowOf("g"), 2).center());
        QTRY_COMPARE(editor, QStringLiteral("修改分类"));
    }

    void addItemWithOnlyAName()
    {
        showTable("items");
        QString title;
        answerNextDialog([&title](QDialog *dialog) {
            title = dialog->windowTitle();
            dialog->findChild<QLineEdit *>("name")->setText("  螺丝刀 ");
        });
        toolbarButton("＋ 新增")->click();
        QVERIFY(t->settle());
        QCOMPARE(title, QStringLiteral("新增物品（ID 留空自动生成）"));

        QCOMPARE(t->dataPage->rows().rowCount(), 1);
        const QJsonObject row = t->dataPage->rows().record(0);
        const QString id = row.value("id").toString();
        QVERIFY2(QRegularExpression("^qt-[0-9a-z]+-[0-9a-z]+$").match(id).hasMatch(), qPrintable(id));
        QCOMPARE(row.value("name").toString(), QStringLiteral("螺丝刀"));
        QCOMPARE(row.value("categoryId").toString(), QString());
        QCOMPARE(row.value("locationId").toString(), QString());
        QVERIFY(!row.value("createdAt").toString().isEmpty());
        QCOMPARE(row.value("updatedAt"), row.value("createdAt"));
        QCOMPARE(lastVersion(), QStringLiteral("界面新增 items 前|qt"));
        QCOMPARE(lastSyncLog(), "qt-ui|新增|物品 " + id);
        QCOMPARE(testutil::rowCount(table()), 1);
    }

    void emptyCustomerChangesNothing()
    {
        showTable("customers");
        answerNextDialog(nullptr);
        toolbarButton("＋ 新增")->click();
        QVERIFY(t->settle());
        QCOMPARE(scalar("SELECT COUNT(*) FROM customers"), 0);
        QCOMPARE(scalar("SELECT COUNT(*) FROM versions"), 0);
        QCOMPARE(scalar("SELECT COUNT(*) FROM sync_log"), 0);
    }

    void editorChoiceLists()
    {
        put("categories", {{"id", "c1"}, {"name", "五金"}});
        put("categories", {{"id", "c2"}, {"name", "扳手"}, {"parentId", "c1"}});
        put("categories", {{"id", "c0"}, {"name", "Zeta"}});
        put("customers", {{"id", "k1"}, {"name", "李四"}});
        put("items", {{"id", "i1"}, {"name", "锤"}, {"barcode", "42"}});
        put("items", {{"id", "i2"}, {"name", "钉"}, {"barcode", ""}});
        QStringList categories;
        QStringList items;
        QStringList customers;
        QStringList fieldNames;
        answerNextDialog(
            [&](QDialog *dialog) {
                categories = comboTexts(dialog->findChild<QComboBox *>("categoryId"));
                auto *form = dialog->findChild<QFormLayout *>();
                for (int r = 0; r < form->rowCount(); ++r) {
                    if (auto *label = form->itemAt(r, QFormLayout::LabelRole))
                        fieldNames.append(qobject_cast<QLabel *>(label->widget())->text());
                }
            },
            false);
        QVERIFY(showRowEditor("items", "新增物品", findTable("items")->columns.mid(1), {}, true).isEmpty());
        QCOMPARE(categories, (QStringList{"（不设置）", "Zeta", "五金", "     五金 > 扳手"}));
        QCOMPARE(fieldNames, (QStringList{"条码号", "名称", "所属分类", "存放位置", "数量", "单价", "预期出库价",
                                          "编码", "创建时间", "更新时间", "分类", "存放处"}));

        answerNextDialog(
            [&](QDialog *dialog) {
                items = comboTexts(dialog->findChild<QComboBox *>("relatedItemId"));
                customers = comboTexts(dialog->findChild<QComboBox *>("itemId"));
            },
            false);
        showRowEditor("relations", "新增关联物品", findTable("relations")->columns.mid(1), {}, true);
        QCOMPARE(items.size(), 3);
        QVERIFY(items.contains(QStringLiteral("锤（42）")));
        QVERIFY(items.contains(QStringLiteral("钉（）")));
        QCOMPARE(customers, items);

        answerNextDialog([&](QDialog *dialog) { customers = comboTexts(dialog->findChild<QComboBox *>("customerId")); },
                         false);
        showRowEditor("transactions", "新增流水", findTable("transactions")->columns.mid(1), {}, true);
        QCOMPARE(customers, (QStringList{"（不设置）", "李四"}));
    }

    void editTransactionOfDeletedItem()
    {
        put("items", {{"id", "i1"}, {"name", "锤"}, {"barcode", "42"}});
        put("transactions", {{"id", "t1"}, {"itemId", "i1"}, {"type", "out"}, {"quantity", 3.0}, {"unitPrice", 12.5}});
        put("transactions", {{"id", "t2"}, {"quantity", 1234567.5}});
        QVERIFY(Database::instance().softDelete("items", "i1", nullptr));
        showTable("transactions");
        testutil::selectRow(table(), rowOf("t1"), 1);

        QString shownItem;
        QString quantity;
        QString price;
        QString type;
        answerNextDialog([&](QDialog *dialog) {
            shownItem = dialog->findChild<QComboBox *>("itemId")->currentText();
            quantity = dialog->findChild<QLineEdit *>("quantity")->text();
            price = dialog->findChild<QLineEdit *>("unitPrice")->text();
            type = dialog->findChild<QComboBox *>("type")->currentText();
        });
        toolbarButton("修改")->click();
        QVERIFY(t->settle());
        QCOMPARE(shownItem, QStringLiteral("（不设置）"));
        QCOMPARE(quantity, QStringLiteral("3"));
        QCOMPARE(price, QStringLiteral("12.5"));
        QCOMPARE(type, QStringLiteral("出库"));
        QCOMPARE(scalar("SELECT COUNT(*) FROM transactions WHERE id = 't1' AND itemId = '' AND type = 'out'"), 1);
        QCOMPARE(lastVersion(), QStringLiteral("界面修改 transactions #t1 前|qt"));
        QCOMPARE(lastSyncLog(), QStringLiteral("qt-ui|修改|流水 t1"));

        testutil::selectRow(table(), rowOf("t2"), 0);
        answerNextDialog([&](QDialog *dialog) { quantity = dialog->findChild<QLineEdit *>("quantity")->text(); },
                         false);
        toolbarButton("修改")->click();
        QVERIFY(t->settle());
        QCOMPARE(quantity, QStringLiteral("1234567.5"));
    }

    // A number goes into the editor and the export as the shortest text that reads back to it.
    void exactNumbers_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("cents above ten thousand") << 12345.67 << "12345.67";
        QTest::newRow("seven digits and a half") << 1234567.5 << "1234567.5";
        QTest::newRow("a tenth") << 0.1 << "0.1";
        QTest::newRow("tiny") << 1e-7 << "1e-07";
        QTest::newRow("largest exact integer") << 9007199254740991.0 << "9007199254740991";
    }

    void exactNumbers()
    {
        QFETCH(double, value);
        QFETCH(QString, text);
        put("items", {{"id", "e1"}, {"name", "螺母"}, {"unitPrice", value}});
        showTable("items");
        testutil::selectRow(table(), 0, 0);
        QString shown;
        answerNextDialog([&shown](QDialog *dialog) { shown = dialog->findChild<QLineEdit *>("unitPrice")->text(); });
        toolbarButton("修改")->click();
        QVERIFY(t->settle());
        QCOMPARE(shown, text);
        const QJsonObject stored = Database::instance().rows("items").at(0).toObject();
        QVERIFY2(stored.value("unitPrice").toDouble() == value,
                 qPrintable(QString::number(stored.value("unitPrice").toDouble(), 'g', 17)));
        QCOMPARE(::csvField(value), '"' + text + '"');
    }

    // Coded columns offer the shown words and store the codes; anything else is stored as typed.
    void codeWordsInTheEditor_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("result");
        QTest::newRow("untouched code") << "type"
                                        << "in"
                                        << "入库"
                                        << ""
                                        << "in";
        QTest::newRow("word typed") << "type"
                                    << "in"
                                    << "入库"
                                    << "出库"
                                    << "out";
        QTest::newRow("status word") << "status"
                                     << "unpaid"
                                     << "未收"
                                     << "已收"
                                     << "paid";
        QTest::newRow("payment word") << "paymentMethod"
                                      << "credit"
                                      << "赊账"
                                      << "现金"
                                      << "cash";
        QTest::newRow("unknown code kept") << "type"
                                           << "adjust"
                                           << "adjust"
                                           << ""
                                           << "adjust";
        QTest::newRow("unknown text typed") << "status"
                                            << "paid"
                                            << "已收"
                                            << "退款"
                                            << "退款";
        QTest::newRow("code typed") << "paymentMethod"
                                    << "cash"
                                    << "现金"
                                    << "credit"
                                    << "credit";
    }

    void codeWordsInTheEditor()
    {
        QFETCH(QString, column);
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        QFETCH(QString, typed);
        QFETCH(QString, result);
        put("transactions", {{"id", "t1"}, {column, stored}});
        showTable("transactions");
        testutil::selectRow(table(), 0, 0);
        QString seen;
        QStringList offered;
        answerNextDialog([&](QDialog *dialog) {
            auto *combo = dialog->findChild<QComboBox *>(column);
            seen = combo->currentText();
            offered = comboTexts(combo);
            if (!typed.isEmpty())
                combo->setEditText(typed);
        });
        toolbarButton("修改")->click();
        QVERIFY(t->settle());
        QCOMPARE(seen, shown);
        QStringList words = codeWords(column)->values();
        QCOMPARE(offered.size(), words.size());
        for (const QString &word : std::as_const(words))
            QVERIFY(offered.contains(word));
        QCOMPARE(Database::instance().rows("transactions").at(0).toObject().value(column).toString(), result);
    }

    void newTransactionLeavesCodesEmpty()
    {
        showTable("transactions");
        answerNextDialog([](QDialog *dialog) { dialog->findChild<QLineEdit *>("quantity")->setText("2"); });
        toolbarButton("＋ 新增")->click();
        QVERIFY(t->settle());
        const QJsonObject row = Database::instance().rows("transactions").at(0).toObject();
        QCOMPARE(row.value("quantity").toDouble(), 2.0);
        for (const char *column : {"type", "status", "paymentMethod"})
            QVERIFY2(row.value(column).toString().isEmpty(), column);
    }

    void emptyingAFieldStoresEmptyText()
    {
        put("customers", {{"id", "k1"}, {"name", "王五"}, {"phone", "123"}, {"address", "北京"}});
        showTable("customers");
        testutil::selectRow(table(), 0, 0);
        answerNextDialog([](QDialog *dialog) { dialog->findChild<QLineEdit *>("phone")->clear(); });
        toolbarButton("修改")->click();
        QVERIFY(t->settle());
        QSqlQuery query = sql("SELECT phone, address, name FROM customers WHERE id = 'k1'");
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), QString());
        QCOMPARE(query.value(1).toString(), QStringLiteral("北京"));
        QCOMPARE(columnTexts("电话"), QStringList{""});
    }

    void locationParentsAreLocationsAndNeverItsOwnSubtree()
    {
        put("categories", {{"id", "c1"}, {"name", "分类甲"}});
        put("locations", {{"id", "l1"}, {"name", "仓库"}});
        put("locations", {{"id", "l2"}, {"name", "货架"}, {"parentId", "l1"}});
        put("locations", {{"id", "l3"}, {"name", "层"}, {"parentId", "l2"}});
        put("locations", {{"id", "l4"}, {"name", "门店"}});
        t->dataPage->model()->unfold("l1");
        t->dataPage->model()->unfold("l2");
        showTable("locations");

        QStringList parents;
        QString selected;
        testutil::selectRow(table(), rowOf("l3"), 0);
        answerNextDialog(
            [&](QDialog *dialog) {
                auto *combo = dialog->findChild<QComboBox *>("parentId");
                parents = comboTexts(combo);
                selected = combo->currentText();
            },
            false);
        toolbarButton("修改")->click();
        QVERIFY(t->settle());
        QCOMPARE(parents, (QStringList{"（不设置）", "仓库", "     仓库 > 货架", "门店"}));
        QCOMPARE(selected, QStringLiteral("     仓库 > 货架"));

        // Below a node there is no place for it: its whole subtree is left out.
        answerNextDialog([&](QDialog *dialog) { parents = comboTexts(dialog->findChild<QComboBox *>("parentId")); },
                         false);
        const QJsonObject l1{{"id", "l1"}, {"name", "仓库"}, {"parentId", ""}};
        showRowEditor("locations", "修改存放处", findTable("locations")->columns.mid(1), l1, false);
        QCOMPARE(parents, (QStringList{"（不设置）", "门店"}));
    }

    void editingAParentIsRefused()
    {
        seedCategories();
        showTable("categories");
        // The search leaves the parent without its children, so it looks like a leaf.
        t->dataPage->searchField()->setText("工具");
        QCOMPARE(columnTexts("名称"), QStringList{"   工具"});
        testutil::selectRow(table(), rowOf("t"), 1);
        QString title;
        testutil::answerNextBox(QMessageBox::Ok, nullptr, &title);
        toolbarButton("修改")->click();
        QVERIFY(t->settle());
        QCOMPARE(title, QStringLiteral("这是主级，不能修改"));
        QCOMPARE(scalar("SELECT COUNT(*) FROM versions"), 0);

        t->dataPage->searchField()->clear();
        QString text;
        testutil::answerNextBox(QMessageBox::Ok, &text);
        toolbarButton("修改")->click();
        QVERIFY(t->settle());
        QCOMPARE(text, QStringLiteral("请先选中一行"));
    }

    void deletingAParentIsRefusedWithItsShownChildCount_data()
    {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QString>("count");
        QTest::newRow("folded") << ""
                                << "2";
        QTest::newRow("search that keeps the children") << "t"
                                                        << "2";
        QTest::newRow("search that hides the children") << "工具"
                                                        << "0";
    }

    void deletingAParentIsRefusedWithItsShownChildCount()
    {
        QFETCH(QString, search);
        QFETCH(QString, count);
        seedCategories();
        showTable("categories");
        t->dataPage->searchField()->setText(search);
        testutil::selectRow(table(), rowOf("t"), 0);
        QString title;
        QString text;
        testutil::answerNextBox(QMessageBox::Ok, &text, &title);
        toolbarButton("删除")->click();
        QVERIFY(t->settle());
        QCOMPARE(title, QStringLiteral("这是主级，不能删除"));
        QCOMPARE(text, QStringLiteral(
                           "它下面还有 %1 个子项。\n\n请先删掉这些子项，再删它。\n（双击名称左边的箭头可以展开查看）")
                           .arg(count));
        QCOMPARE(scalar("SELECT COUNT(*) FROM categories WHERE deleted = 0"), 6);
        QCOMPARE(scalar("SELECT COUNT(*) FROM versions"), 0);
    }

    void deletingALocationInUseIsRefused()
    {
        put("locations", {{"id", "l1"}, {"name", "仓库"}});
        for (const char *id : {"i1", "i2", "i3", "i4"})
            put("items", {{"id", id}, {"name", id}, {"locationId", "l1"}});
        QVERIFY(Database::instance().softDelete("items", "i4", nullptr));
        showTable("locations");
        testutil::selectRow(table(), 0, 0);
        QString title;
        QString text;
        testutil::answerNextBox(QMessageBox::Ok, &text, &title);
        toolbarButton("删除")->click();
        QVERIFY(t->settle());
        QCOMPARE(title, QStringLiteral("还有物品在用"));
        QCOMPARE(text,
                 QStringLiteral("有 3 个物品属于这个分类/存放处。\n\n请先把这些物品改到别处，或者先删掉那些物品。"));
        QCOMPARE(testutil::rowCount(table()), 1);
    }

    void deletingALeaf_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::newRow("yes") << true;
        QTest::newRow("no") << false;
    }

    void deletingALeaf()
    {
        QFETCH(bool, yes);
        seedCategories();
        showTable("categories");
        QCOMPARE(testutil::rowCount(table()), 3);
        testutil::selectRow(table(), rowOf("g"), 0);
        QString title;
        testutil::answerNextBox(yes ? QMessageBox::Yes : QMessageBox::No, nullptr, &title);
        toolbarButton("删除")->click();
        QVERIFY(t->settle());
        QCOMPARE(title, QStringLiteral("确认删除"));
        if (yes) {
            QCOMPARE(rowOf("g"), -1);
            QCOMPARE(testutil::rowCount(table()), 2);
            QCOMPARE(scalar("SELECT deleted FROM categories WHERE id = 'g'"), 1);
            QCOMPARE(lastVersion(), QStringLiteral("界面删除 categories #g 前|qt"));
            QCOMPARE(lastSyncLog(), QStringLiteral("qt-ui|删除|分类 g"));
        } else {
            QCOMPARE(testutil::rowCount(table()), 3);
            QCOMPARE(scalar("SELECT deleted FROM categories WHERE id = 'g'"), 0);
            QCOMPARE(scalar("SELECT COUNT(*) FROM versions"), 0);
            QCOMPARE(scalar("SELECT COUNT(*) FROM sync_log"), 0);
        }
    }

    void failedAddOrEditIsReported_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("version");
        QTest::newRow("add") << "＋ 新增"
                             << "新增失败"
                             << "数据库没有存下这一条："
                             << "界面新增 customers 前|qt";
        QTest::newRow("edit") << "修改"
                              << "修改失败"
                              << "数据库没有存下这次修改："
                              << "界面修改 customers #k1 前|qt";
    }

    // A refused write is told and not logged, whichever change made it; the version saved before stays.
    void failedAddOrEditIsReported()
    {
        QFETCH(QString, button);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QFETCH(QString, version);
        put("customers", {{"id", "k1"}, {"name", "赵六"}});
        sql("CREATE TRIGGER keepNew BEFORE INSERT ON customers BEGIN SELECT RAISE(ABORT, 'customers are locked'); END");
        sql("CREATE TRIGGER keepOld BEFORE UPDATE ON customers BEGIN SELECT RAISE(ABORT, 'customers are locked'); END");
        showTable("customers");
        testutil::selectRow(table(), 0, 0);
        answerNextDialog([](QDialog *dialog) { dialog->findChild<QLineEdit *>("name")->setText("钱七"); });
        QString seenTitle;
        QString seenText;
        QTimer::singleShot(50, [&] { testutil::answerNextBox(QMessageBox::Ok, &seenText, &seenTitle); });
        toolbarButton(button)->click();
        QVERIFY(t->settle());
        QCOMPARE(seenTitle, title);
        QVERIFY2(seenText.startsWith(text), qPrintable(seenText));
        QVERIFY2(seenText.contains("customers are locked"), qPrintable(seenText));
        QCOMPARE(scalar("SELECT COUNT(*) FROM customers"), 1);
        QCOMPARE(scalar("SELECT COUNT(*) FROM customers WHERE id = 'k1' AND name = '赵六'"), 1);
        QCOMPARE(lastVersion(), version);
        QCOMPARE(scalar("SELECT COUNT(*) FROM sync_log"), 0);
    }

    void failedDeletionIsReported()
    {
        put("customers", {{"id", "k1"}, {"name", "赵六"}});
        sql("CREATE TRIGGER keep BEFORE UPDATE ON customers BEGIN SELECT RAISE(ABORT, 'customers are locked'); END");
        showTable("customers");
        testutil::selectRow(table(), 0, 0);
        testutil::answerNextBox(QMessageBox::Yes);
        QString title;
        QString text;
        QTimer::singleShot(50, [&] { testutil::answerNextBox(QMessageBox::Ok, &text, &title); });
        toolbarButton("删除")->click();
        QVERIFY(t->settle());
        QCOMPARE(title, QStringLiteral("删除失败"));
        QVERIFY2(text.startsWith(QStringLiteral("数据库没有删掉这一条：")), qPrintable(text));
        QVERIFY2(text.contains("customers are locked"), qPrintable(text));
        QCOMPARE(scalar("SELECT deleted FROM customers WHERE id = 'k1'"), 0);
        QCOMPARE(scalar("SELECT COUNT(*) FROM sync_log"), 0);
        QCOMPARE(testutil::rowCount(table()), 1);
    }

    // A disk too full for the version refuses the change with it, before anything is written.
    void deletionOnAFullDiskIsRefused()
    {
        put("customers", {{"id", "k1"}, {"name", "赵六"}});
        showTable("customers");
        testutil::selectRow(table(), 0, 0);
        testutil::leaveNoRoom(databasePath());
        testutil::answerNextBox(QMessageBox::Yes);
        QString title;
        QString text;
        QTimer::singleShot(50, [&] { testutil::answerNextBox(QMessageBox::Ok, &text, &title); });
        toolbarButton("删除")->click();
        QVERIFY(t->settle());
        QCOMPARE(title, QStringLiteral("删除失败"));
        QVERIFY2(text.startsWith(QStringLiteral("数据库没有删掉这一条：\n磁盘空间不足：需要约 ")), qPrintable(text));
        QCOMPARE(scalar("SELECT deleted FROM customers WHERE id = 'k1'"), 0);
        QCOMPARE(scalar("SELECT COUNT(*) FROM versions"), 0);
        QCOMPARE(scalar("SELECT COUNT(*) FROM sync_log"), 0);
    }

    void csvField_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("field");
        QTest::newRow("plain") << QJsonValue("abc") << "\"abc\"";
        QTest::newRow("comma and quote") << QJsonValue("a,b \"c\"") << "\"a,b \"\"c\"\"\"";
        QTest::newRow("line break") << QJsonValue("a\r\nb") << "\"a\r\nb\"";
        QTest::newRow("whole number") << QJsonValue(3.0) << "\"3\"";
        QTest::newRow("fraction") << QJsonValue(12.5) << "\"12.5\"";
        QTest::newRow("seven digits of fraction") << QJsonValue(0.1234567) << "\"0.1234567\"";
        QTest::newRow("seven-digit integer") << QJsonValue(1234567) << "\"1234567\"";
        QTest::newRow("null") << QJsonValue() << "\"\"";
        QTest::newRow("bool") << QJsonValue(true) << "\"\"";
    }

    void csvField()
    {
        QFETCH(QJsonValue, value);
        QFETCH(QString, field);
        QCOMPARE(::csvField(value), field);
    }

    void csvOfAnEmptyTable()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("customers.csv");
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old content that must go away, old content that must go away");
        old.close();
        showTable("customers");
        QString title;
        QString text;
        testutil::answerNextBox(QMessageBox::Ok, &text, &title);
        exportShownTable(path);
        QCOMPARE(title, QStringLiteral("导出完成"));
        QCOMPARE(text, "已导出到：\n" + path);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("\xEF\xBB\xBF\"id\",\"name\",\"phone\",\"address\",\"createdAt\"\r\n"));
    }

    void csvOfItems()
    {
        put("items", {{"id", "i1"},
                      {"name", "螺丝, \"大号\""},
                      {"barcode", "6901234567890123"},
                      {"quantity", 3},
                      {"unitPrice", 12.5}});
        put("items", {{"id", "i2"}, {"name", "垫片"}, {"barcode", qint64(6901234567890)}, {"quantity", 1234567}});
        showTable("items");
        t->dataPage->searchField()->setText("螺丝");
        QCOMPARE(testutil::rowCount(table()), 1);

        QTemporaryDir dir;
        const QString path = dir.filePath("items.csv");
        testutil::answerNextBox(QMessageBox::Ok);
        exportShownTable(path);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
        const QStringList lines = QString::fromUtf8(bytes.mid(3)).split("\r\n");
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.at(0),
                 QStringLiteral("\"id\",\"barcode\",\"name\",\"categoryId\",\"locationId\",\"quantity\","
                                "\"unitPrice\",\"expectedOutPrice\",\"shortcode\",\"pinyin\",\"imagePath\","
                                "\"createdAt\",\"updatedAt\",\"categoryPath\",\"locationPath\""));
        const QString first = lines.at(1).startsWith("\"i1\"") ? lines.at(1) : lines.at(2);
        const QString second = lines.at(1).startsWith("\"i1\"") ? lines.at(2) : lines.at(1);
        QCOMPARE(first,
                 "\"i1\",\"6901234567890123\",\"螺丝, \"\"大号\"\"\",\"\",\"\",\"3\",\"12.5\",\"\",\"\",\"\",\"\",\""
                     + stamp + "\",\"" + stamp + "\",\"\",\"\"");
        QVERIFY2(second.startsWith("\"i2\",\"6901234567890\",\"垫片\",\"\",\"\",\"1234567\""), qPrintable(second));
        QCOMPARE(lines.at(3), QString());
    }

    void csvWriteFailureIsReported()
    {
        if (!QFile::exists("/dev/full"))
            QSKIP("needs /dev/full");
        put("items", {{"id", "i1"}, {"name", QString(200000, QChar('x'))}});
        showTable("items");
        QString title;
        QString text;
        testutil::answerNextBox(QMessageBox::Ok, &text, &title);
        exportShownTable("/dev/full");
        QCOMPARE(title, QStringLiteral("导出失败"));
        QVERIFY2(text.startsWith(QStringLiteral("文件没能写完整")), qPrintable(text));
    }

    void csvUnopenableFileIsReported()
    {
        QTemporaryDir dir;
        showTable("items");
        QString title;
        testutil::answerNextBox(QMessageBox::Ok, nullptr, &title);
        exportShownTable(dir.filePath("missing/items.csv"));
        QCOMPARE(title, QStringLiteral("导出失败"));
    }
};

TOVANIK_TEST_MAIN(DataPageTest)
#include "tst_datapage.moc"
