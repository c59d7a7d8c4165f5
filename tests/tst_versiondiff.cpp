#include "catalogue/catalogue.h"
#include "storage/clock.h"
#include "storage/database.h"
#include "storage/restoreplanner.h"
#include "storage/versiondiff.h"
#include "storagetestcase.h"
#include "sync/syncserver.h"
#include "testhttp.h"
#include "testmain.h"
#include "teststorage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <functional>

using testutil::putRow;

namespace {

const QString seedStamp = QStringLiteral("2024-01-01 00:00:00");
const QDateTime changeTime(QDate(2025, 3, 1), QTime(9, 0));
const QDateTime restoreTime(QDate(2026, 5, 1), QTime(10, 0));
const QString restoreStamp = QStringLiteral("2026-05-01 10:00:00");

// A small store with rows in every table.
void seed()
{
    putRow("categories", {{"id", "c1"}, {"name", "五金"}});
    putRow("categories", {{"id", "c2"}, {"name", "螺丝"}, {"parentId", "c1"}});
    putRow("locations", {{"id", "l1"}, {"name", "货架 A"}, {"description", "门口"}});
    putRow("customers", {{"id", "u1"}, {"name", "张三"}, {"phone", "123"}});
    putRow("items", {{"id", "i1"}, {"name", "螺丝 M3"}, {"barcode", "690001"}, {"categoryId", "c2"}, {"quantity", 5}});
    putRow("items", {{"id", "i2"}, {"name", "垫片"}, {"categoryId", "c1"}, {"locationId", "l1"}, {"quantity", 2.5}});
    putRow("items", {{"id", "i3"}, {"name", "弹簧"}, {"categoryId", "c1"}});
    putRow("transactions", {{"id", "t1"}, {"itemId", "i1"}, {"type", "out"}, {"quantity", 1}, {"customerId", "u1"}});
    putRow("relations", {{"id", "r1"}, {"itemId", "i1"}, {"relatedItemId", "i2"}, {"quantity", 1}});
}

struct Expected
{
    QString table;
    RowDiff::Kind kind;
    QString id;
    QStringList fields;
};

QStringList fieldsOf(const QString &table, const RowDiff &row)
{
    QStringList fields;
    const TableInfo *info = findTable(table);
    for (int i = 0; i < info->columns.size(); ++i) {
        if (row.changes(i))
            fields << info->columns.at(i);
    }
    return fields;
}

// JSON written with ' for " to keep the tables legible.
QByteArray json(const char *text)
{
    return QByteArray(text).replace('\'', '"');
}

} // namespace

Q_DECLARE_METATYPE(Expected)

// Comparing two versions row by row, and bringing back chosen rows of the older one.
class VersionDiffTest : public StorageTestCase
{
    Q_OBJECT

    int storeVersion()
    {
        if (!db.saveVersion(QStringLiteral("存档"), QStringLiteral("qt-ui")))
            return 0;
        return db.listVersions(1).first().id;
    }

    VersionDiff compare(int older, int newer)
    {
        QList<QByteArray> texts;
        QString error;
        if (!Database::readSnapshots(db.fileName(), {older, newer}, &texts, &error))
            qWarning() << error;
        return texts.size() == 2 ? VersionDiff::compare(texts.at(0), texts.at(1)) : VersionDiff();
    }

    QByteArray textNow()
    {
        QList<QByteArray> texts;
        Database::readSnapshots(db.fileName(), {0}, &texts, nullptr);
        return texts.value(0);
    }

    int deletedFlag(const QString &table, const QString &id)
    {
        return rawValue(QStringLiteral("SELECT deleted FROM %1 WHERE id = '%2'").arg(table, id)).toInt();
    }

    // The index of the row of this id in the table's part of the comparison, or -1.
    static int indexOf(const VersionDiff &diff, const QString &table, const QString &id)
    {
        const TableDiff *rows = diff.table(table);
        for (int i = 0; rows && i < rows->rows.size(); ++i) {
            if (diff.rowId(table, rows->rows.at(i)) == id)
                return i;
        }
        return -1;
    }

private Q_SLOTS:
    void init() { Clock::stopAt(QDateTime()); }
    void cleanupTestCase() { Clock::stopAt(QDateTime()); }

    void comparison_data()
    {
        QTest::addColumn<bool>("seeded");
        QTest::addColumn<QString>("change");
        QTest::addColumn<QList<Expected>>("expected");

        using E = Expected;
        QTest::newRow("item added") << true << "add item" << QList<E>{{"items", RowDiff::Added, "i9", {}}};
        QTest::newRow("item deleted") << true << "delete item" << QList<E>{{"items", RowDiff::Deleted, "i2", {}}};
        QTest::newRow("item renamed") << true << "rename item" << QList<E>{{"items", RowDiff::Changed, "i1", {"name"}}};
        QTest::newRow("item stamps only") << true << "touch item" << QList<E>{};
        QTest::newRow("item moved to another category")
            << true << "move item" << QList<E>{{"items", RowDiff::Changed, "i3", {"categoryId", "quantity"}}};
        QTest::newRow("transaction added")
            << true << "add transaction" << QList<E>{{"transactions", RowDiff::Added, "t2", {}}};
        QTest::newRow("category deleted")
            << true << "delete category" << QList<E>{{"categories", RowDiff::Deleted, "c2", {}}};
        QTest::newRow("location changed")
            << true << "describe location" << QList<E>{{"locations", RowDiff::Changed, "l1", {"description"}}};
        QTest::newRow("customer changed")
            << true << "customer phone" << QList<E>{{"customers", RowDiff::Changed, "u1", {"phone"}}};
        QTest::newRow("relation deleted")
            << true << "delete relation" << QList<E>{{"relations", RowDiff::Deleted, "r1", {}}};
        QTest::newRow("several tables") << true << "several"
                                        << QList<E>{{"items", RowDiff::Added, "i9", {}},
                                                    {"items", RowDiff::Deleted, "i2", {}},
                                                    {"items", RowDiff::Changed, "i1", {"name"}},
                                                    {"categories", RowDiff::Deleted, "c2", {}}};
        QTest::newRow("empty store") << false << "" << QList<E>{};
        QTest::newRow("equal versions") << true << "" << QList<E>{};
    }

    void comparison()
    {
        QFETCH(bool, seeded);
        QFETCH(QString, change);
        QFETCH(QList<Expected>, expected);
        freshDatabaseForRow(QStringLiteral("compare"));
        if (seeded)
            seed();
        const int older = storeVersion();
        QVERIFY(older > 0);

        Clock::stopAt(changeTime);
        const QHash<QString, std::function<void()>> changes{
            {"add item",
             [] {
                 putRow("items", {{"id", "i9"}, {"name", "新物品"}});
             }},
            {"delete item", [this] { QVERIFY(db.softDelete("items", "i2", nullptr)); }},
            {"rename item",
             [this] {
                 QVERIFY(db.updateRecord("items", "i1", {{"name", "螺丝 M4"}}, nullptr));
             }},
            {"touch item",
             [this] {
                 QVERIFY(db.updateRecord("items", "i1", {{"name", "螺丝 M3"}}, nullptr));
             }},
            {"move item",
             [this] {
                 QVERIFY(db.updateRecord("items", "i3", {{"categoryId", "c2"}, {"quantity", 7}}, nullptr));
             }},
            {"add transaction",
             [] {
                 putRow("transactions", {{"id", "t2"}, {"itemId", "i2"}, {"type", "in"}, {"quantity", 4}});
             }},
            {"delete category", [this] { QVERIFY(db.softDelete("categories", "c2", nullptr)); }},
            {"describe location",
             [this] {
                 QVERIFY(db.updateRecord("locations", "l1", {{"description", "里间"}}, nullptr));
             }},
            {"customer phone",
             [this] {
                 QVERIFY(db.updateRecord("customers", "u1", {{"phone", "456"}}, nullptr));
             }},
            {"delete relation", [this] { QVERIFY(db.softDelete("relations", "r1", nullptr)); }},
            {"several",
             [this] {
                 putRow("items", {{"id", "i9"}, {"name", "新物品"}});
                 QVERIFY(db.softDelete("items", "i2", nullptr));
                 QVERIFY(db.updateRecord("items", "i1", {{"name", "螺丝 M4"}}, nullptr));
                 QVERIFY(db.softDelete("categories", "c2", nullptr));
             }},
        };
        if (!change.isEmpty())
            changes.value(change)();
        const int newer = storeVersion();
        QVERIFY(newer > older);

        // The next version and the data now give the same answer.
        for (const int side : {newer, 0}) {
            const VersionDiff diff = compare(older, side);
            QVERIFY(diff.isValid());
            QCOMPARE(diff.rowCount(), expected.size());
            QCOMPARE(diff.isEmpty(), expected.isEmpty());
            for (const Expected &row : expected) {
                const int index = indexOf(diff, row.table, row.id);
                QVERIFY2(index >= 0, qPrintable(row.id));
                const RowDiff &found = diff.table(row.table)->rows.at(index);
                QCOMPARE(found.kind, row.kind);
                QCOMPARE(fieldsOf(row.table, found), row.fields);
                // What it says each side held is what the rows really are.
                const QJsonObject live = rowOf(row.table, row.id);
                if (row.kind != RowDiff::Deleted) {
                    QCOMPARE(diff.after(row.table, found).value("name"), live.value("name"));
                    QCOMPARE(diff.after(row.table, found).value("updatedAt"), live.value("updatedAt"));
                } else {
                    QCOMPARE(deletedFlag(row.table, row.id), 1);
                }
                if (row.kind != RowDiff::Added)
                    QCOMPARE(diff.before(row.table, found).value("createdAt").toString(), seedStamp);
                else
                    QVERIFY(diff.before(row.table, found).isEmpty());
            }
        }
    }

    void summaryLines()
    {
        freshDatabase(QStringLiteral("summary"));
        seed();
        const int older = storeVersion();
        Clock::stopAt(changeTime);
        putRow("items", {{"id", "i9"}, {"name", "新物品"}});
        QVERIFY(db.updateRecord("items", "i1", {{"name", "螺丝 M4"}}, nullptr));
        QVERIFY(db.updateRecord("items", "i3", {{"name", "弹簧 2"}}, nullptr));
        QVERIFY(db.softDelete("customers", "u1", nullptr));
        const VersionDiff diff = compare(older, 0);
        QCOMPARE(diff.summaryLines(), QStringList({"物品：新增 1，修改 2，删除 0", "客户：新增 0，修改 0，删除 1"}));
    }

    // Two texts of one item each: a column changes only when its values differ once read as JSON.
    void valuesAsRead_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QStringList>("fields");
        const QByteArray base = json("'id':'i1','name':'螺丝','quantity':1");
        QTest::newRow("number in another form")
            << base << json("'id':'i1','name':'螺丝','quantity':1.0") << QStringList();
        QTest::newRow("exponent") << json("'id':'i1','quantity':100") << json("'id':'i1','quantity':1e2")
                                  << QStringList();
        QTest::newRow("another number") << base << json("'id':'i1','name':'螺丝','quantity':2")
                                        << QStringList{"quantity"};
        QTest::newRow("minus zero") << json("'id':'i1','quantity':0") << json("'id':'i1','quantity':-0")
                                    << QStringList();
        QTest::newRow("number against text")
            << base << json("'id':'i1','name':'螺丝','quantity':'1'") << QStringList{"quantity"};
        QTest::newRow("escaped, same text")
            << base << json("'id':'i1','name':'\\u87ba\\u4e1d','quantity':1") << QStringList();
        QTest::newRow("escaped, other text")
            << base << json("'id':'i1','name':'\\u87ba\\u6bcd','quantity':1") << QStringList{"name"};
        QTest::newRow("escaped quote") << json("'id':'i1','name':'a\\'b'") << json("'id':'i1','name':'a\\u0022b'")
                                       << QStringList();
        QTest::newRow("null against missing")
            << json("'id':'i1','barcode':null") << json("'id':'i1'") << QStringList{"barcode"};
        QTest::newRow("members in another order")
            << base << json("'quantity':1,'name':'螺丝','id':'i1'") << QStringList();
        QTest::newRow("stamps only") << base + json(",'updatedAt':'2024-01-01','serverUpdatedAt':'2024-01-01'")
                                     << base + json(",'updatedAt':'2025-01-01','serverUpdatedAt':'2025-01-01'")
                                     << QStringList();
        QTest::newRow("escaped key") << json("'id':'i1','n\\u0061me':'甲'") << json("'id':'i1','name':'乙'")
                                     << QStringList{"name"};
        QTest::newRow("key given twice") << json("'id':'i1','name':'甲','name':'乙'") << json("'id':'i1','name':'乙'")
                                         << QStringList();
    }

    void valuesAsRead()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QFETCH(QStringList, fields);
        const VersionDiff diff =
            VersionDiff::compare(json("{'items':[{") + before + "}]}", json("{'items':[{") + after + "}]}");
        QVERIFY(diff.isValid());
        const TableDiff *items = diff.table(QStringLiteral("items"));
        QCOMPARE(items ? fieldsOf(QStringLiteral("items"), items->rows.first()) : QStringList(), fields);
        QCOMPARE(diff.rowCount(), fields.isEmpty() ? 0 : 1);
    }

    // A table large enough to be compared in several stretches at once gives its rows in the snapshots'
    // order: added and changed as the newer one lists them, deleted as the older one does.
    void largeTableInOrder()
    {
        const int count = 30000;
        const auto item = [](int n, int quantity) {
            return json("{'id':'i") + QByteArray::number(n) + json("','quantity':") + QByteArray::number(quantity)
                   + "}";
        };
        QByteArrayList older;
        QByteArrayList newer;
        QList<int> added, deleted, changed;
        for (int n = 0; n < count; ++n) {
            older << item(n, 1);
            if (n % 7 == 3) {
                deleted << n;
                continue;
            }
            newer << item(n, n % 5 == 0 ? 2 : 1);
            if (n % 5 == 0)
                changed << n;
            if (n % 11 == 0) {
                newer << item(count + n, 1);
                added << count + n;
            }
        }
        const VersionDiff diff = VersionDiff::compare(json("{'items':[") + older.join(',') + "]}",
                                                      json("{'items':[") + newer.join(',') + "]}");
        QVERIFY(diff.isValid());
        const TableDiff *items = diff.table(QStringLiteral("items"));
        QVERIFY(items);
        QCOMPARE(items->added, added.size());
        QCOMPARE(items->deleted, deleted.size());
        QCOMPARE(items->changed, changed.size());
        QList<int> found[3];
        for (const RowDiff &row : items->rows)
            found[row.kind] << diff.rowId(QStringLiteral("items"), row).mid(1).toInt();
        QCOMPARE(found[RowDiff::Added], added);
        QCOMPARE(found[RowDiff::Deleted], deleted);
        QCOMPARE(found[RowDiff::Changed], changed);
    }

    void stopsWhenAsked()
    {
        freshDatabase(QStringLiteral("stop"));
        seed();
        const int older = storeVersion();
        QList<QByteArray> texts;
        QVERIFY(Database::readSnapshots(db.fileName(), {older, 0}, &texts, nullptr));
        const std::atomic<bool> stop{true};
        QVERIFY(!VersionDiff::compare(texts.at(0), texts.at(1), &stop).isValid());
        QVERIFY(!VersionDiff::compare("{broken", texts.at(1)).isValid());
        QString error;
        QVERIFY(!Database::readSnapshots(db.fileName(), {older + 50}, &texts, &error));
        QVERIFY(error.contains(QStringLiteral("不在")));
    }

    // A changed, a deleted and an added row come back together; a row not chosen stays as it is, and
    // a phone's older copy pushed afterwards does not undo them.
    void restoreChosenRows()
    {
        freshDatabase(QStringLiteral("restore"));
        seed();
        const int older = storeVersion();
        Clock::stopAt(changeTime);
        QVERIFY(db.updateRecord("items", "i1", {{"name", "螺丝 M4"}, {"quantity", 50}}, nullptr));
        QVERIFY(db.softDelete("items", "i2", nullptr));
        putRow("items", {{"id", "i9"}, {"name", "手机加的"}}, QStringLiteral("2025-03-01 09:00:00"));
        QVERIFY(db.updateRecord("items", "i3", {{"name", "弹簧改"}}, nullptr));
        const QJsonObject phoneDocument{{"app", "plindor"}, {"protocol", 1}, {"items", db.rows("items")}};
        const QJsonObject notChosen = rowOf("items", "i3");

        const VersionDiff diff = compare(older, 0);
        QCOMPARE(diff.rowCount(), 4);
        const QByteArray now = textNow();
        const SnapshotReader current(now, SnapshotReader::Check::Layout);
        RestorePlanner planner(diff, current);
        for (const QString id : {"i1", "i2", "i9"})
            planner.choose("items", indexOf(diff, "items", id));
        QCOMPARE(planner.changedAgain(), 0);
        QVERIFY(planner.dangling().isEmpty());
        PartialRestore plan = planner.plan();
        plan.versionId = older;
        QCOMPARE(plan.rowCount(), 3);
        QCOMPARE(plan.tableCounts(), QStringList{"物品 3 行"});

        const int versions = versionCount();
        Clock::stopAt(restoreTime);
        QString error;
        QVERIFY2(db.restoreRows(plan, &error), qPrintable(error));

        const QJsonObject i1 = rowOf("items", "i1");
        QCOMPARE(i1.value("name").toString(), QStringLiteral("螺丝 M3"));
        QCOMPARE(i1.value("quantity").toDouble(), 5.0);
        QCOMPARE(i1.value("updatedAt").toString(), restoreStamp);
        QCOMPARE(i1.value("serverUpdatedAt").toString(), restoreStamp);
        const QJsonObject i2 = rowOf("items", "i2");
        QCOMPARE(i2.value("deleted").toInt(), 0);
        QCOMPARE(i2.value("quantity").toDouble(), 2.5);
        QCOMPARE(i2.value("locationId").toString(), QStringLiteral("l1"));
        QCOMPARE(deletedFlag("items", "i9"), 1);
        QCOMPARE(rawValue("SELECT serverUpdatedAt FROM items WHERE id = 'i9'").toString(), restoreStamp);
        QCOMPARE(rowOf("items", "i3"), notChosen);

        QCOMPARE(versionCount(), versions + 1);
        const VersionInfo version = db.listVersions(1).first();
        QCOMPARE(version.reason, QStringLiteral("恢复部分行前"));
        QCOMPARE(version.source, QStringLiteral("qt-ui"));
        // The version holds the data as it was before the restore.
        const VersionDiff undone = compare(version.id, 0);
        QCOMPARE(undone.rowCount(), 3);
        const QJsonObject log = db.recentSyncLog(1).first().toObject();
        QCOMPARE(log.value("peer").toString(), QStringLiteral("qt-ui"));
        QCOMPARE(log.value("action").toString(), QStringLiteral("恢复"));
        QCOMPARE(log.value("detail").toString(), QStringLiteral("从版本 #%1 恢复 3 行").arg(older));

        // A phone's pull carries the rows back; its older copy pushed after does not undo them.
        SyncServer server;
        const quint16 port = testutil::freePort();
        QVERIFY(server.start(port));
        const testutil::Reply pull = testutil::exchange(port, testutil::requestBytes("GET", "/export"));
        QCOMPARE(pull.status, 200);
        QHash<QString, QJsonObject> pulled;
        for (const QJsonValue &row : pull.json().value("items").toArray())
            pulled.insert(row["id"].toString(), row.toObject());
        QCOMPARE(pulled.value("i1").value("name").toString(), QStringLiteral("螺丝 M3"));
        QVERIFY(pulled.contains("i2"));
        QVERIFY(!pulled.contains("i9"));

        const testutil::Reply push = testutil::exchange(
            port,
            testutil::requestBytes("POST", "/import", QJsonDocument(phoneDocument).toJson(QJsonDocument::Compact)));
        QCOMPARE(push.status, 200);
        QCOMPARE(rowOf("items", "i1").value("name").toString(), QStringLiteral("螺丝 M3"));
        QCOMPARE(deletedFlag("items", "i9"), 1);
        QCOMPARE(deletedFlag("items", "i2"), 0);
    }

    // A chosen row changed again after the newer version is told before anything is written.
    void rowsChangedAgainAreCounted()
    {
        freshDatabase(QStringLiteral("again"));
        seed();
        const int older = storeVersion();
        Clock::stopAt(changeTime);
        QVERIFY(db.updateRecord("items", "i1", {{"name", "螺丝 M4"}}, nullptr));
        QVERIFY(db.updateRecord("items", "i3", {{"name", "弹簧 2"}}, nullptr));
        const int newer = storeVersion();
        QVERIFY(db.updateRecord("items", "i1", {{"name", "螺丝 M5"}}, nullptr));
        // Only a new stamp: not changed again.
        Clock::stopAt(restoreTime);
        QVERIFY(db.updateRecord("items", "i3", {{"name", "弹簧 2"}}, nullptr));

        const VersionDiff diff = compare(older, newer);
        const QByteArray now = textNow();
        const SnapshotReader current(now, SnapshotReader::Check::Layout);
        RestorePlanner planner(diff, current);
        planner.choose("items", indexOf(diff, "items", "i1"));
        planner.choose("items", indexOf(diff, "items", "i3"));
        QCOMPARE(planner.changedAgain(), 1);
    }

    // Removing a category the change added would leave its items, its child and their transactions
    // pointing at nothing: they are named, and once included, an item the change moved there goes back
    // where it was and the rest go with the category.
    void danglingRowsAreNamedAndIncluded()
    {
        freshDatabase(QStringLiteral("dangling"));
        seed();
        const int older = storeVersion();
        Clock::stopAt(changeTime);
        putRow("categories", {{"id", "c9"}, {"name", "新分类"}});
        putRow("categories", {{"id", "c10"}, {"name", "新子分类"}, {"parentId", "c9"}});
        putRow("items", {{"id", "i9"}, {"name", "新物品"}, {"categoryId", "c10"}});
        putRow("transactions", {{"id", "t9"}, {"itemId", "i9"}, {"itemName", "新物品"}});
        QVERIFY(db.updateRecord("items", "i3", {{"categoryId", "c9"}}, nullptr));

        const VersionDiff diff = compare(older, 0);
        const QByteArray now = textNow();
        const SnapshotReader current(now, SnapshotReader::Check::Layout);
        RestorePlanner planner(diff, current);
        planner.choose("categories", indexOf(diff, "categories", "c9"));
        QStringList named;
        for (const DanglingRow &row : planner.dangling())
            named << row.table + "/" + row.id + "/" + row.name;
        named.sort();
        QCOMPARE(named, QStringList({"categories/c10/新子分类", "items/i3/弹簧"}));

        planner.includeDangling();
        QVERIFY(planner.dangling().isEmpty());
        PartialRestore plan = planner.plan();
        plan.versionId = older;
        QCOMPARE(plan.rowCount(), 5);
        QVERIFY(db.restoreRows(plan, nullptr));
        QCOMPARE(rowOf("items", "i3").value("categoryId").toString(), QStringLiteral("c1"));
        for (const auto &[table, id] : QList<std::pair<QString, QString>>{
                 {"categories", "c9"}, {"categories", "c10"}, {"items", "i9"}, {"transactions", "t9"}})
            QCOMPARE(deletedFlag(table, id), 1);
        // Nothing live points at a deleted row.
        QCOMPARE(rawValue("SELECT COUNT(*) FROM items i JOIN categories c ON c.id = i.categoryId "
                          "WHERE i.deleted = 0 AND c.deleted = 1")
                     .toInt(),
                 0);
    }

    void restoreUnderAFault_data() { testutil::addStorageFaultRows(); }

    // Refused whole: no version, no row, no log line.
    void restoreUnderAFault()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        const QString path = freshDatabaseForRow(QStringLiteral("fault"));
        seed();
        for (int i = 0; i < 2000; ++i)
            putRow("items", {{"id", QStringLiteral("n%1").arg(i)}, {"name", QStringLiteral("料").repeated(60)}});
        const int older = storeVersion();
        Clock::stopAt(changeTime);
        QVERIFY(db.updateRecord("items", "i1", {{"name", "螺丝 M4"}}, nullptr));
        QVERIFY(db.softDelete("items", "i2", nullptr));
        const VersionDiff diff = compare(older, 0);
        const QByteArray now = textNow();
        const SnapshotReader current(now, SnapshotReader::Check::Layout);
        RestorePlanner planner(diff, current);
        planner.choose("items", 0);
        planner.choose("items", 1);
        PartialRestore plan = planner.plan();
        plan.versionId = older;
        const QJsonArray items = db.rows("items");
        const int versions = versionCount();
        const int logged = rawValue("SELECT COUNT(*) FROM sync_log").toInt();

        QString error;
        {
            testutil::StorageFault storageFault(fault, path);
            QVERIFY(!db.restoreRows(plan, &error));
        }
        QVERIFY2(error.contains(reason), qPrintable(error));
        QCOMPARE(db.rows("items"), items);
        QCOMPARE(versionCount(), versions);
        QCOMPARE(rawValue("SELECT COUNT(*) FROM sync_log").toInt(), logged);
    }

    void versionBeforeALogRow()
    {
        freshDatabase(QStringLiteral("before"));
        Clock::stopAt(changeTime);
        QVERIFY(db.saveVersion(QStringLiteral("收到 192.168.1.23 推送前"), QStringLiteral("192.168.1.23")));
        QVERIFY(db.saveVersion(QStringLiteral("收到 192.168.1.24 推送前"), QStringLiteral("192.168.1.24")));
        Clock::stopAt(restoreTime);
        QVERIFY(db.saveVersion(QStringLiteral("收到 192.168.1.23 推送前"), QStringLiteral("192.168.1.23")));
        QCOMPARE(db.newestVersionBefore(QStringLiteral("收到 192.168.1.23 推送前"), "2025-03-01 09:00:00"), 1);
        QCOMPARE(db.newestVersionBefore(QStringLiteral("收到 192.168.1.23 推送前"), restoreStamp), 3);
        QCOMPARE(db.newestVersionBefore(QStringLiteral("收到 192.168.1.23 推送前"), "2024-01-01 00:00:00"), 0);
        QCOMPARE(VersionHistory::reasonBefore("192.168.1.23", "推送"), QStringLiteral("收到 192.168.1.23 推送前"));
        QCOMPARE(VersionHistory::reasonBefore("qt-ui", "回滚"), QStringLiteral("回滚前自动存档"));
        QCOMPARE(VersionHistory::reasonBefore("qt-ui", "导入"), QStringLiteral("导入 CSV 前"));
        QCOMPARE(VersionHistory::reasonBefore("qt-ui", "恢复"), QStringLiteral("恢复部分行前"));
        QVERIFY(VersionHistory::reasonBefore("qt-ui", "新增").isEmpty());
        QCOMPARE(db.nextVersion(1), 2);
        QCOMPARE(db.nextVersion(3), 0);
    }
};

TOVANIK_TEST_GUILESS_MAIN(VersionDiffTest)
#include "tst_versiondiff.moc"
