#include "catalogue/catalogue.h"
#include "storage/database.h"
#include "storage/rowtable.h"
#include "storage/rowsmemo.h"
#include "storage/snapshotreader.h"
#include "storage/recordsource.h"
#include "storage/snapshottext.h"
#include "teststorage.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

// The Records of a document, with a hook run once before the first is handed out: the moment between
// the merge's reading of the master and its first write.
class HookedSource : public RecordSource
{
public:
    HookedSource(const QJsonObject &document, std::function<void()> hook)
        : document(document)
        , hook(std::move(hook))
    {
    }

    qsizetype size(const QString &table) const override { return document.value(table).toArray().size(); }

    QJsonObject record(const QString &table, qsizetype index) const override
    {
        if (hook)
            std::exchange(hook, nullptr)();
        return document.value(table).toArray().at(index).toObject();
    }

private:
    QJsonObject document;
    mutable std::function<void()> hook;
};

} // namespace

class StorageTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    Database &db = Database::instance();

    QString freshDatabase(const QString &name)
    {
        const QString path = dir.filePath(name + QStringLiteral("/data/plindor.db"));
        QString error;
        if (!db.open(path, &error))
            qFatal("open failed: %s", qPrintable(error));
        return path;
    }

    // A database of its own for the running data row, so that every row runs alone as well.
    QString freshDatabaseForRow(const QString &prefix)
    {
        return freshDatabase(prefix + QLatin1Char('-') + QString::fromUtf8(QTest::currentDataTag()).replace(' ', '-'));
    }

    static QVariant valueFromFile(const QString &path, const QString &sql) { return testutil::valueFromFile(path, sql); }

    QJsonObject rowOf(const QString &table, const QString &id)
    {
        for (const QJsonValue &row : db.rows(table)) {
            if (row.toObject().value(QStringLiteral("id")).toString() == id)
                return row.toObject();
        }
        return {};
    }

    int versionCount() { return rawValue(QStringLiteral("SELECT COUNT(*) FROM versions")).toInt(); }

    static QStringList idsOf(const QJsonArray &rows)
    {
        QStringList ids;
        for (const QJsonValue &row : rows)
            ids << row.toObject().value(QStringLiteral("id")).toString();
        ids.sort();
        return ids;
    }

    // The backup folder beside a database file.
    static QString backupFolder(const QString &databasePath)
    {
        return QFileInfo(databasePath).absoluteDir().filePath(QStringLiteral("备份"));
    }

    static QString todaysBackupName()
    {
        return QStringLiteral("plindor-%1.db").arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")));
    }

    // Reads a column through a separate connection, so that the test sees what is really in the file.
    QVariant rawValue(const QString &sql)
    {
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("plindor")));
        if (!query.exec(sql) || !query.next())
            return QVariant(QStringLiteral("<no row>"));
        return query.value(0);
    }

    // Every value of every Record with its JSON type and its exact form, in row order.
    static QStringList described(const QJsonArray &rows)
    {
        QStringList lines;
        for (const QJsonValue &row : rows) {
            const QJsonObject record = row.toObject();
            for (auto it = record.begin(); it != record.end(); ++it) {
                const QVariant value = it.value().toVariant();
                const QString exact = value.typeId() == QMetaType::Double ? QString::number(value.toDouble(), 'g', 17)
                                                                          : value.toString();
                lines << QStringLiteral("%1|%2|%3").arg(it.key(), QString::fromLatin1(value.typeName()), exact);
            }
        }
        return lines;
    }

    // Stored values of every kind that a Record must read alike on each way of reading.
    static void addStoredValueRows()
    {
        QTest::addColumn<QString>("quantity");
        QTest::addColumn<QString>("extra");
        QTest::newRow("null") << "NULL" << "NULL";
        QTest::newRow("empty text in a real column") << "''" << "''";
        QTest::newRow("whole number in a real column") << "3" << "3";
        QTest::newRow("reals") << "12.5" << "-0.0";
        QTest::newRow("large integers") << "9007199254740993" << "9223372036854775807";
        QTest::newRow("smallest integer") << "-1e300" << "-9223372036854775808";
        QTest::newRow("overflowing real") << "9e999" << "-9e999";
        QTest::newRow("text like a number") << "'abc'" << "'00123'";
        QTest::newRow("chinese text") << "'三个'" << "'零件 测试'";
        QTest::newRow("quotes and controls") << "'a\"b'" << "'x\\y' || char(10) || char(0) || 'z'";
        QTest::newRow("blob of utf-8") << "X'E99BB6'" << "X'41E99BB642'";
        QTest::newRow("blob not utf-8") << "X'FF'" << "X'C3FF00FE'";
        QTest::newRow("text not utf-8") << "CAST(X'C328' AS TEXT)" << "CAST(X'E9FF' AS TEXT)";
    }

private Q_SLOTS:
    void catalogueLookups()
    {
        QCOMPARE(tables().size(), 6);
        const QStringList keys = {"items", "transactions", "categories", "locations", "customers", "relations"};
        for (int i = 0; i < keys.size(); ++i)
            QCOMPARE(tables()[i].key, keys[i]);
        const TableInfo *relations = findTable(QStringLiteral("relations"));
        QVERIFY(relations);
        QCOMPARE(relations->label, QStringLiteral("关联物品"));
        QCOMPARE(relations->columns.size(), 5);
        QCOMPARE(findTable(QStringLiteral("items"))->columns.size(), 15);
        QVERIFY(!findTable(QStringLiteral("sync_log")));
        QVERIFY(!findTable(QStringLiteral("versions")));
        QVERIFY(!findTable(QStringLiteral("Items")));
        QVERIFY(!findTable(QString()));
        QCOMPARE(headerLabel(QStringLiteral("deleted")), QStringLiteral("已删除"));
        QCOMPARE(headerLabel(QStringLiteral("serverUpdatedAt")), QStringLiteral("服务器更新时间"));
        QCOMPARE(headerLabel(QStringLiteral("categoryPath")), findTable(QStringLiteral("categories"))->label);
        QCOMPARE(headerLabel(QStringLiteral("nosuch")), QStringLiteral("nosuch"));
        QCOMPARE(headerLabel(QString()), QString());
        QVERIFY(isReferenceColumn(QStringLiteral("parentId")));
        QVERIFY(!isReferenceColumn(QStringLiteral("itemName")));
        QVERIFY(!isReferenceColumn(QStringLiteral("fullPath")));
        for (const TableInfo &table : tables()) {
            QCOMPARE(table.columns.first(), QStringLiteral("id"));
            for (const QString &column : table.columns)
                QVERIFY2(headerLabel(column) != column, qPrintable(column));
        }
    }

    void firstOpenCreatesFolderFileAndTables()
    {
        testutil::FileSteps steps(dir.path());
        const QString path = freshDatabase(QStringLiteral("first"));
        QVERIFY(QFile::exists(path));
        // The folders made for the file last: each is flushed into the folder that holds it.
        QCOMPARE(steps.seen, QStringList({"flush folder .", "flush folder first"}));
        // Every commit is flushed to the disk before it counts as done.
        QCOMPARE(rawValue(QStringLiteral("PRAGMA synchronous")).toInt(), 2);
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("plindor")));
        QVERIFY(query.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type='table' AND name != 'sqlite_sequence' ORDER BY name")));
        QStringList names;
        while (query.next())
            names << query.value(0).toString();
        QCOMPARE(names, QStringList({"categories", "customers", "items", "locations", "relations", "sync_log",
                                     "transactions", "versions"}));
        QCOMPARE(rawValue(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
        const QJsonObject counts = db.counts();
        QCOMPARE(counts.size(), 6);
        for (const TableInfo &table : tables())
            QCOMPARE(counts.value(table.key).toInt(-1), 0);
    }

    void reopenKeepsRowsAndSamePathDoesNothing()
    {
        const QString path = freshDatabase(QStringLiteral("reopen"));
        QVERIFY(!db.upsert(QStringLiteral("customers"), {{"id", "c1"}, {"name", "张三"}}, nullptr).isEmpty());
        db.close();
        QVERIFY(!db.isOpen());
        QString error;
        QVERIFY(db.open(path, &error));
        QCOMPARE(db.rows(QStringLiteral("customers")).size(), 1);

        // Dropping a table behind the connection's back shows that a second open runs no statement.
        QSqlQuery(QSqlDatabase::database(QStringLiteral("plindor"))).exec(QStringLiteral("DROP TABLE relations"));
        QVERIFY(db.open(path, &error));
        QVERIFY(error.isEmpty());
        QCOMPARE(rawValue(QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE name='relations'")).toInt(), 0);
    }

    void folderInPlaceOfFileFailsToOpen()
    {
        const QString path = dir.filePath(QStringLiteral("blocked/data/plindor.db"));
        QVERIFY(QDir().mkpath(path));
        QString error;
        QVERIFY(!db.open(path, &error));
        QVERIFY2(error.startsWith(QStringLiteral("打开数据库失败: ")), qPrintable(error));
        QVERIFY(error.size() > QStringLiteral("打开数据库失败: ").size());
    }

    void oldItemsTableKeepsOpeningButInsertsFail()
    {
        const QString path = dir.filePath(QStringLiteral("old/data/plindor.db"));
        QDir().mkpath(QFileInfo(path).absolutePath());
        QVERIFY(testutil::execOnFile(path, QStringLiteral(
            "CREATE TABLE items (id TEXT PRIMARY KEY, barcode TEXT, name TEXT, categoryId TEXT, locationId TEXT, "
            "quantity REAL DEFAULT 0, unitPrice REAL DEFAULT 0, shortcode TEXT, pinyin TEXT, imagePath TEXT, "
            "createdAt TEXT, updatedAt TEXT, categoryPath TEXT, locationPath TEXT, serverUpdatedAt TEXT, "
            "deleted INTEGER DEFAULT 0)")));
        QString error;
        QVERIFY(db.open(path, &error));
        QString insertError;
        QVERIFY(db.upsert(QStringLiteral("items"), {{"name", "x"}}, &insertError).isEmpty());
        QVERIFY2(insertError.contains(QStringLiteral("expectedOutPrice")), qPrintable(insertError));
    }

    void toSqlValueTable_data()
    {
        QTest::addColumn<QJsonValue>("json");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("true") << QJsonValue(true) << QVariant(1);
        QTest::newRow("false") << QJsonValue(false) << QVariant(0);
        QTest::newRow("2.5") << QJsonValue(2.5) << QVariant(2.5);
        QTest::newRow("3.0") << QJsonValue(3.0) << QVariant(qint64(3));
        QTest::newRow("-7") << QJsonValue(-7) << QVariant(qint64(-7));
        QTest::newRow("2^63") << QJsonValue(9223372036854775808.0) << QVariant(9223372036854775808.0);
        QTest::newRow("-2^63") << QJsonValue(-9223372036854775808.0)
                               << QVariant(std::numeric_limits<qint64>::min());
        QTest::newRow("infinity") << QJsonValue(std::numeric_limits<double>::infinity())
                                  << QVariant(std::numeric_limits<double>::infinity());
        QTest::newRow("string") << QJsonValue(QStringLiteral("螺丝")) << QVariant(QStringLiteral("螺丝"));
        QTest::newRow("null") << QJsonValue(QJsonValue::Null) << QVariant(QStringLiteral(""));
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << QVariant(QStringLiteral(""));
        QTest::newRow("array") << QJsonValue(QJsonArray{1, 2}) << QVariant();
        QTest::newRow("object") << QJsonValue(QJsonObject{{"a", 1}}) << QVariant();
    }

    void toSqlValueTable()
    {
        QFETCH(QJsonValue, json);
        QFETCH(QVariant, expected);
        const QVariant actual = Database::toSqlValue(json);
        QCOMPARE(actual.typeId(), expected.typeId());
        QCOMPARE(actual, expected);
    }

    void directReadingMatchesTheDriver_data()
    {
#ifndef TOVANIK_HAVE_SQLITE3
        QSKIP("built without the direct SQLite reader: rows() reads through QSqlQuery, nothing to compare");
#endif
        addStoredValueRows();
    }

    // The direct reading gives what the driver gives, type and value, also in a column without a
    // declared type (a table from another version), which keeps integers, reals and blobs as they are.
    void directReadingMatchesTheDriver()
    {
        QFETCH(QString, quantity);
        QFETCH(QString, extra);
        freshDatabaseForRow(QStringLiteral("direct"));
#ifdef TOVANIK_HAVE_SQLITE3
        QVERIFY(db.readsDirectly());
#endif
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("plindor")));
        QVERIFY(query.exec(QStringLiteral("ALTER TABLE items ADD COLUMN extra")));
        QVERIFY2(query.exec(QStringLiteral("INSERT INTO items (id, name, quantity, unitPrice, extra, deleted) "
                                           "VALUES ('a', '零件', %1, 0.1, %2, 0), ('b', NULL, 2, %2, %1, 0), "
                                           "('gone', 'x', 1, 1, 1, 1)").arg(quantity, extra)),
                 qPrintable(query.lastError().text()));

        const QJsonArray direct = db.rows(QStringLiteral("items"));
        const QJsonArray driver = db.rowsThroughQuery(QStringLiteral("items"));
        QCOMPARE(direct.size(), 2);
        QCOMPARE(described(direct), described(driver));
        QCOMPARE(QJsonDocument(direct).toJson(), QJsonDocument(driver).toJson());
    }

    void compactReadingHoldsTheRecords_data()
    {
        addStoredValueRows();
    }

    // The data page's compact reading gives, row by row and value by value, the Records rows() gives.
    void compactReadingHoldsTheRecords()
    {
        QFETCH(QString, quantity);
        QFETCH(QString, extra);
        freshDatabaseForRow(QStringLiteral("compact"));
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("plindor")));
        QVERIFY(query.exec(QStringLiteral("ALTER TABLE items ADD COLUMN extra")));
        QVERIFY2(query.exec(QStringLiteral("INSERT INTO items (id, name, quantity, unitPrice, extra, deleted) "
                                           "VALUES ('a', '零件', %1, 0.1, %2, 0), ('b', NULL, 2, %2, %1, 0), "
                                           "('gone', 'x', 1, 1, 1, 1)").arg(quantity, extra)),
                 qPrintable(query.lastError().text()));

        const QJsonArray records = db.rows(QStringLiteral("items"));
        RowTable table;
        QVERIFY(db.readTable(QStringLiteral("items"), &table));
        QCOMPARE(table.rowCount(), 2);
        for (int row = 0; row < table.rowCount(); ++row) {
            const QJsonObject record = records.at(row).toObject();
            QCOMPARE(table.record(row), record);
            for (const QString &column : table.columns())
                QCOMPARE(table.value(row, table.columnIndex(column)), record.value(column));
        }
        QCOMPARE(table.value(0, -1), QJsonValue(QJsonValue::Undefined));
        QCOMPARE(table.rowWithText(table.columnIndex(QStringLiteral("id")), u"b"), 1);
        QCOMPARE(table.rowWithText(table.columnIndex(QStringLiteral("id")), u"gone"), -1);
    }

    void compactSearch_data()
    {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("found");
        QTest::newRow("ASCII, either case") << "ab" << QStringList{"ascii", "lower"};
        QTest::newRow("Chinese") << "零件" << QStringList{"chinese"};
        QTest::newRow("letters beyond ASCII, either case") << "äpfel" << QStringList{"umlaut"};
        QTest::newRow("a barcode, not a number") << "x9" << QStringList{"ascii"};
        QTest::newRow("hidden column") << "lingjian" << QStringList{"chinese"};
        QTest::newRow("beyond the basic plane") << "😀" << QStringList{"emoji"};
        QTest::newRow("nothing") << "zzz" << QStringList{};
    }

    // A search finds a row by a string value of the given columns that contains the text, whatever its
    // letter case and however the value is held; numbers are not searched.
    void compactSearch()
    {
        QFETCH(QString, search);
        QFETCH(QStringList, found);
        freshDatabase(QStringLiteral("compact-search"));
        const QList<QJsonObject> rows{{{"id", "ascii"}, {"name", "AB-12"}, {"barcode", "X9Y"}, {"quantity", 9}},
                                      {{"id", "lower"}, {"name", "ab"}, {"quantity", 99}},
                                      {{"id", "chinese"}, {"name", "零件"}, {"pinyin", "lingjian"}},
                                      {{"id", "umlaut"}, {"name", "ÄPFEL"}},
                                      {{"id", "emoji"}, {"name", "笑😀"}}};
        for (const QJsonObject &row : rows)
            QVERIFY(!db.upsert(QStringLiteral("items"), row, nullptr).isEmpty());
        RowTable table;
        QVERIFY(db.readTable(QStringLiteral("items"), &table));
        QList<int> columns;
        for (const QString &column : findTable(QStringLiteral("items"))->columns)
            columns.append(table.columnIndex(column));
        QStringList ids;
        for (const int row : table.rowsMatching(columns, search))
            ids.append(table.text(row, table.columnIndex(QStringLiteral("id"))));
        ids.sort();
        found.sort();
        QCOMPARE(ids, found);
    }

    // A reading is kept while nothing was written, and read again after any write.
    void compactReadingFollowsChanges()
    {
        freshDatabase(QStringLiteral("compact-changes"));
        QVERIFY(!db.upsert(QStringLiteral("customers"), {{"id", "c1"}, {"name", "张三"}}, nullptr).isEmpty());
        RowTable table;
        QVERIFY(db.readTable(QStringLiteral("customers"), &table));
        QCOMPARE(table.rowCount(), 1);
        QVERIFY(db.readTable(QStringLiteral("customers"), &table));
        QCOMPARE(table.rowCount(), 1);
        QVERIFY(db.softDelete(QStringLiteral("customers"), QStringLiteral("c1"), nullptr));
        QVERIFY(db.readTable(QStringLiteral("customers"), &table));
        QCOMPARE(table.rowCount(), 0);
        QVERIFY(!db.readTable(QStringLiteral("sync_log"), &table));
        QVERIFY(table.isEmpty());
    }

    void memoReadingFollowsEveryChange_data()
    {
        QTest::addColumn<bool>("direct");
        QTest::newRow("straight from SQLite") << true;
        QTest::newRow("through QSqlQuery") << false;
    }

    // A memo gives back the Records of unchanged rows, or the whole reading while nothing was written;
    // changed, new and deleted rows, a schema change and a commit by another connection must still
    // show, also when the memo was last filled from another table. On both ways of reading.
    void memoReadingFollowsEveryChange()
    {
        QFETCH(bool, direct);
        freshDatabase(QStringLiteral("memo-%1").arg(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-')));
        if (direct) {
#ifdef TOVANIK_HAVE_SQLITE3
            QVERIFY(db.readsDirectly());
#else
            QSKIP("built without the direct SQLite reader: rows() reads through QSqlQuery, the other data row");
#endif
        }
        for (int i = 0; i < 5; ++i)
            QVERIFY(!db.upsert(QStringLiteral("items"), {{"id", QStringLiteral("i%1").arg(i)}, {"name", "n"}, {"quantity", i}},
                               nullptr).isEmpty());

        RowsMemo memo;
        const auto read = [&](const QString &table) {
            return direct ? db.rows(table, &memo) : db.rowsThroughQuery(table, &memo);
        };
        const QString items = QStringLiteral("items");
        QCOMPARE(described(read(items)), described(db.rowsThroughQuery(items)));
        // A write elsewhere: the table is read again, and from now on its Records are kept with keys.
        QVERIFY(!db.upsert(QStringLiteral("customers"), {{"id", "c"}, {"name", "客户"}}, nullptr).isEmpty());
        QCOMPARE(described(read(items)), described(db.rowsThroughQuery(items)));
        QVERIFY(db.updateRecord(items, QStringLiteral("i1"), {{"name", "新名字"}}, nullptr));
        QVERIFY(db.updateRecord(items, QStringLiteral("i2"), {{"quantity", 2.5}}, nullptr));
        QVERIFY(db.softDelete(items, QStringLiteral("i3"), nullptr));
        QVERIFY(!db.upsert(items, {{"id", "i9"}, {"name", "n"}}, nullptr).isEmpty());
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("plindor")));
        // Same text, other type: 4 becomes the text '4' in a column without a declared type.
        QVERIFY(query.exec(QStringLiteral("ALTER TABLE items ADD COLUMN extra")));

        const QJsonArray again = read(items);
        QCOMPARE(described(again), described(db.rowsThroughQuery(items)));
        QCOMPARE(again.size(), 5);
        QVERIFY(query.exec(QStringLiteral("UPDATE items SET extra = 4 WHERE id = 'i4'")));
        QCOMPARE(described(read(items)), described(db.rowsThroughQuery(items)));
        QVERIFY(query.exec(QStringLiteral("UPDATE items SET extra = '4' WHERE id = 'i4'")));
        const QJsonArray text = read(items);
        QCOMPARE(described(text), described(db.rowsThroughQuery(items)));
        QVERIFY(described(text).contains(QStringLiteral("extra|QString|4")));

        QCOMPARE(described(read(QStringLiteral("customers"))), described(db.rowsThroughQuery(QStringLiteral("customers"))));
        QCOMPARE(described(read(items)), described(db.rowsThroughQuery(items)));

        // Nothing written in between: the same reading again. A schema change alone is seen.
        QCOMPARE(read(items), db.rowsThroughQuery(items));
        QVERIFY(query.exec(QStringLiteral("ALTER TABLE items ADD COLUMN later")));
        const QJsonArray widened = read(items);
        QCOMPARE(described(widened), described(db.rowsThroughQuery(items)));
        QVERIFY(widened.first().toObject().contains(QStringLiteral("later")));

        // A commit by another connection is seen, also one that keeps the text's length.
        QVERIFY(testutil::execOnFile(db.fileName(), QStringLiteral("UPDATE items SET name = '改' WHERE id = 'i0'")));
        const QJsonArray afterOther = read(items);
        QCOMPARE(described(afterOther), described(db.rowsThroughQuery(items)));
        QVERIFY(described(afterOther).contains(QStringLiteral("name|QString|改")));

        db.close();
        QCOMPARE(read(items), QJsonArray());
    }

    // A reopened connection (as after a restore) may get the old one's address and the same counts; its
    // first reading is still read afresh.
    void memoReadingIsNotCarriedToTheNextOpening()
    {
        RowsMemo memo;
        for (const QString &name : {QStringLiteral("opening-a"), QStringLiteral("opening-b")}) {
            freshDatabase(name);
            QVERIFY(!db.upsert(QStringLiteral("items"), {{"id", name}}, nullptr).isEmpty());
            QCOMPARE(idsOf(db.rows(QStringLiteral("items"), &memo)), QStringList{name});
        }
    }

    void storedValuesInTheFile()
    {
        freshDatabase(QStringLiteral("values"));
        QVERIFY(!db.upsert(QStringLiteral("relations"),
                           {{"id", "v"}, {"itemId", QJsonValue::Null}, {"relatedItemId", QJsonArray{1}}, {"quantity", 2.5}},
                           nullptr).isEmpty());
        QCOMPARE(rawValue(QStringLiteral("SELECT typeof(itemId) || '/' || typeof(relatedItemId) || '/' || typeof(quantity) "
                                         "|| '/' || typeof(createdAt) FROM relations")).toString(),
                 QStringLiteral("text/null/real/text"));
        const QJsonObject row = db.rows(QStringLiteral("relations")).first().toObject();
        QCOMPARE(row.value("itemId").toString(QStringLiteral("<not text>")), QString());
        QCOMPARE(row.value("relatedItemId").toString(QStringLiteral("<not text>")), QString());
        QCOMPARE(row.value("quantity").toDouble(), 2.5);
        QVERIFY(row.value("deleted").isDouble());
    }

    void upsertFillsDefaultsAndRevives()
    {
        freshDatabase(QStringLiteral("upsert"));
        QString error;
        const QString id = db.upsert(QStringLiteral("items"), {{"name", "垫片"}, {"bogus", "ignored"}}, &error);
        QVERIFY(QRegularExpression(QStringLiteral("^qt-[0-9a-z]+-[0-9a-z]+$")).match(id).hasMatch());
        const QJsonArray rows = db.rows(QStringLiteral("items"));
        QCOMPARE(rows.size(), 1);
        const QJsonObject row = rows.first().toObject();
        QCOMPARE(row.value("id").toString(), id);
        QCOMPARE(row.value("name").toString(), QStringLiteral("垫片"));
        QCOMPARE(row.value("createdAt").toString().size(), 19);
        QCOMPARE(row.value("updatedAt").toString(), row.value("createdAt").toString());
        QCOMPARE(row.value("serverUpdatedAt").toString(), row.value("createdAt").toString());
        QCOMPARE(row.value("deleted").toInt(-1), 0);
        QCOMPARE(row.value("quantity").toString(QStringLiteral("<not text>")), QString());
        QCOMPARE(row.value("barcode").toString(QStringLiteral("<not text>")), QString());
        QVERIFY(!row.contains("bogus"));

        QVERIFY(db.softDelete(QStringLiteral("items"), id, &error));
        QCOMPARE(db.rows(QStringLiteral("items")).size(), 0);
        QCOMPARE(db.upsert(QStringLiteral("items"), {{"id", id}, {"name", "新垫片"}, {"quantity", 4}}, &error), id);
        const QJsonObject revived = db.rows(QStringLiteral("items")).first().toObject();
        QCOMPARE(revived.value("name").toString(), QStringLiteral("新垫片"));
        QCOMPARE(revived.value("quantity").toDouble(), 4.0);
        QCOMPARE(db.counts().value("items").toInt(), 1);
    }

    void updateRecordRules()
    {
        freshDatabase(QStringLiteral("update"));
        QString error;
        db.upsert(QStringLiteral("items"),
                  {{"id", "i1"}, {"name", "旧"}, {"createdAt", "2020-01-01 00:00:00"}, {"updatedAt", "2020-01-02 00:00:00"}},
                  &error);
        QVERIFY(db.updateRecord(QStringLiteral("items"), QStringLiteral("i1"),
                                {{"name", "新"}, {"updatedAt", "1999-01-01 00:00:00"}, {"createdAt", "1999-01-01 00:00:00"}},
                                &error));
        QJsonObject row = db.rows(QStringLiteral("items")).first().toObject();
        QCOMPARE(row.value("name").toString(), QStringLiteral("新"));
        QCOMPARE(row.value("createdAt").toString(), QStringLiteral("2020-01-01 00:00:00"));
        QVERIFY(row.value("updatedAt").toString() > QStringLiteral("2026"));
        QCOMPARE(row.value("serverUpdatedAt").toString(), row.value("updatedAt").toString());

        // "id" renames the row.
        QVERIFY(db.updateRecord(QStringLiteral("items"), QStringLiteral("i1"), {{"id", "i2"}}, &error));
        QCOMPARE(db.rows(QStringLiteral("items")).first().toObject().value("id").toString(), QStringLiteral("i2"));

        // Nothing that applies: false, error untouched, nothing run.
        error = QStringLiteral("untouched");
        QVERIFY(!db.updateRecord(QStringLiteral("customers"), QStringLiteral("c"), {{"nope", 1}}, &error));
        QCOMPARE(error, QStringLiteral("untouched"));

        // A missing id still succeeds; categories get no updatedAt.
        QVERIFY(db.updateRecord(QStringLiteral("categories"), QStringLiteral("none"), {{"name", "x"}}, &error));

        QVERIFY(!db.updateRecord(QStringLiteral("versions"), QStringLiteral("1"), {{"reason", "x"}}, &error));
        QCOMPARE(error, QStringLiteral("未知表"));
    }

    void internalTablesAndChecks()
    {
        freshDatabase(QStringLiteral("checks"));
        QString error = QStringLiteral("untouched");
        QCOMPARE(db.rows(QStringLiteral("versions")).size(), 0);
        QVERIFY(!db.softDelete(QStringLiteral("sync_log"), QStringLiteral("1"), &error));
        QCOMPARE(error, QStringLiteral("untouched"));
        QVERIFY(db.upsert(QStringLiteral("items; DROP TABLE items"), {{"id", "x"}}, &error).isEmpty());
        QCOMPARE(error, QStringLiteral("未知表"));
        QVERIFY(db.softDelete(QStringLiteral("items"), QStringLiteral("missing"), &error));

        db.upsert(QStringLiteral("categories"), {{"id", "root"}, {"name", "根"}}, nullptr);
        db.upsert(QStringLiteral("categories"), {{"id", "kid"}, {"name", "子"}, {"parentId", "root"}}, nullptr);
        db.upsert(QStringLiteral("items"), {{"id", "a"}, {"categoryId", "root"}, {"locationId", "shelf"}}, nullptr);
        db.upsert(QStringLiteral("items"), {{"id", "b"}, {"categoryId", "root"}}, nullptr);
        db.upsert(QStringLiteral("items"), {{"id", "c"}, {"categoryId", "root"}}, nullptr);
        db.softDelete(QStringLiteral("items"), QStringLiteral("c"), nullptr);
        QVERIFY(db.hasChildren(QStringLiteral("categories"), QStringLiteral("root")));
        QVERIFY(!db.hasChildren(QStringLiteral("categories"), QStringLiteral("kid")));
        QVERIFY(!db.hasChildren(QStringLiteral("items"), QStringLiteral("root")));
        QVERIFY(!db.hasChildren(QStringLiteral("categories"), QString()));
        QCOMPARE(db.countItemsUsing(QStringLiteral("categories"), QStringLiteral("root")), 2);
        QCOMPARE(db.countItemsUsing(QStringLiteral("locations"), QStringLiteral("shelf")), 1);
        QCOMPARE(db.countItemsUsing(QStringLiteral("customers"), QStringLiteral("root")), 0);
        db.softDelete(QStringLiteral("categories"), QStringLiteral("kid"), nullptr);
        QVERIFY(!db.hasChildren(QStringLiteral("categories"), QStringLiteral("root")));
    }

    void newIdsAreDistinct()
    {
        freshDatabase(QStringLiteral("ids"));
        QSet<QString> seen;
        for (int i = 0; i < 200; ++i) {
            const QString id = db.upsert(QStringLiteral("customers"), {{"name", "n"}}, nullptr);
            QVERIFY(id.startsWith(QStringLiteral("qt-")));
            QVERIFY(!seen.contains(id));
            seen.insert(id);
        }
        QCOMPARE(db.counts().value("customers").toInt(), 200);
    }

    void everythingFailsQuietlyAfterClose()
    {
        freshDatabase(QStringLiteral("closed"));
        db.close();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^query failed:")));
        QCOMPARE(db.rows(QStringLiteral("items")).size(), 0);
        QString error;
        QVERIFY(db.upsert(QStringLiteral("items"), {{"name", "x"}}, &error).isEmpty());
        QVERIFY(!error.isEmpty());
        QCOMPARE(db.counts().value("items").toInt(-1), 0);
        QVERIFY(!db.updateRecord(QStringLiteral("items"), QStringLiteral("x"), {{"name", "y"}}, nullptr));
        QVERIFY(!db.softDelete(QStringLiteral("items"), QStringLiteral("x"), nullptr));
        QVERIFY(!db.hasChildren(QStringLiteral("categories"), QStringLiteral("x")));
        QCOMPARE(db.countItemsUsing(QStringLiteral("categories"), QStringLiteral("x")), 0);
    }

    void snapshotDocumentShape()
    {
        freshDatabase(QStringLiteral("snapshot"));
        QJsonObject document = db.snapshotDocument();
        QCOMPARE(document.size(), 11);
        QCOMPARE(document.value("app").toString(), QStringLiteral("plindor"));
        QCOMPARE(document.value("protocol").toInt(), 1);
        QCOMPARE(document.value("deviceName").toString(), QStringLiteral("电脑主库"));
        QCOMPARE(document.value("platform").toString(), QStringLiteral("qt"));
        QCOMPARE(document.value("exportedAt").toString().size(), 19);
        for (const TableInfo &table : tables()) {
            QVERIFY(document.value(table.key).isArray());
            QCOMPARE(document.value(table.key).toArray().size(), 0);
        }

        db.upsert(QStringLiteral("customers"), {{"id", "live"}, {"name", "甲"}}, nullptr);
        db.upsert(QStringLiteral("customers"), {{"id", "gone"}, {"name", "乙"}}, nullptr);
        db.softDelete(QStringLiteral("customers"), QStringLiteral("gone"), nullptr);
        rawValue(QStringLiteral("UPDATE customers SET phone = NULL WHERE id = 'live'"));
        document = db.snapshotDocument();
        const QJsonArray customers = document.value("customers").toArray();
        QCOMPARE(customers.size(), 1);
        QCOMPARE(customers.first().toObject().value("id").toString(), QStringLiteral("live"));
        QCOMPARE(customers.first().toObject().value("phone").toString(QStringLiteral("<not text>")), QString());
    }

    // Each case stores one awkward value in a row of its own beside plain rows in every table.
    void snapshotTextMatchesTheDocument_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("column");
        QTest::addColumn<QVariant>("value");
        QTest::newRow("quotes and backslashes") << "items" << "name" << QVariant(QStringLiteral("他说\"好\"\\路径\\"));
        QTest::newRow("control characters") << "items" << "name" << QVariant(QStringLiteral("a\x01" "b\tc\nd\re\bf\x1f\x7fg"));
        QTest::newRow("chinese") << "customers" << "address" << QVariant(QStringLiteral("工业路 12 号 螺丝×8"));
        QTest::newRow("emoji") << "locations" << "description" << QVariant(QStringLiteral("📦🔩 A\u2028B"));
        QTest::newRow("NULL text") << "customers" << "phone" << QVariant(QMetaType::fromType<QString>());
        QTest::newRow("NULL real") << "items" << "quantity" << QVariant(QMetaType::fromType<double>());
        QTest::newRow("empty text in real") << "items" << "unitPrice" << QVariant(QString(""));
        QTest::newRow("text in real") << "relations" << "quantity" << QVariant(QStringLiteral("很多"));
        QTest::newRow("large integer") << "items" << "quantity" << QVariant(qint64(9007199254740993LL));
        QTest::newRow("0.1") << "transactions" << "unitPrice" << QVariant(0.1);
        QTest::newRow("1e-7") << "items" << "expectedOutPrice" << QVariant(1e-7);
        QTest::newRow("negative zero") << "items" << "quantity" << QVariant(-0.0);
        QTest::newRow("huge real") << "items" << "quantity" << QVariant(1.5e300);
        QTest::newRow("number in text column") << "items" << "barcode" << QVariant(6901234567890LL);
        QTest::newRow("blob in text column") << "categories" << "name" << QVariant(QByteArray("螺丝"));
    }

    void snapshotTextMatchesTheDocument()
    {
        QFETCH(QString, table);
        QFETCH(QString, column);
        QFETCH(QVariant, value);
        freshDatabaseForRow(QStringLiteral("text"));
        for (const TableInfo &info : tables()) {
            db.upsert(info.key, {{"id", "plain"}, {"name", "普通"}, {"quantity", 3}}, nullptr);
            db.upsert(info.key, {{"id", "odd"}}, nullptr);
        }
        QSqlQuery update(QSqlDatabase::database(QStringLiteral("plindor")));
        update.prepare(QStringLiteral("UPDATE %1 SET %2 = ? WHERE id = 'odd'").arg(table, column));
        update.addBindValue(value);
        QVERIFY2(update.exec(), qPrintable(update.lastError().text()));

        const QByteArray text = db.snapshotText();
        // Strict JSON for the phones' parsers: no raw control character, even where Qt would accept one.
        QVERIFY(std::none_of(text.begin(), text.end(), [](char c) { return uchar(c) < 0x20; }));
        QJsonParseError error;
        QJsonObject streamed = QJsonDocument::fromJson(text, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QJsonObject built = db.snapshotDocument();
        QCOMPARE(streamed.value("exportedAt").toString().size(), 19);
        streamed.remove("exportedAt");
        built.remove("exportedAt");
        QCOMPARE(streamed, built);
        QCOMPARE(streamed.value(table).toArray().size(), 2);
    }

    // Each number reads back as the value QJsonDocument itself would have written.
    void snapshotNumbers_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::newRow("zero") << QJsonValue(qint64(0));
        QTest::newRow("-1") << QJsonValue(qint64(-1));
        QTest::newRow("int64 max") << QJsonValue(std::numeric_limits<qint64>::max());
        QTest::newRow("int64 min") << QJsonValue(std::numeric_limits<qint64>::min());
        QTest::newRow("0.1") << QJsonValue(0.1);
        QTest::newRow("1e-7") << QJsonValue(1e-7);
        QTest::newRow("-0.0") << QJsonValue(-0.0);
        QTest::newRow("5.0") << QJsonValue(5.0);
        QTest::newRow("2^63") << QJsonValue(9223372036854775808.0);
        QTest::newRow("-2^63") << QJsonValue(-9223372036854775808.0);
        QTest::newRow("1e300") << QJsonValue(1e300);
        QTest::newRow("-123456.789") << QJsonValue(-123456.789);
        QTest::newRow("infinity") << QJsonValue(std::numeric_limits<double>::infinity());
    }

    void snapshotNumbers()
    {
        QFETCH(QJsonValue, value);
        QByteArray text("[");
        if (value.isDouble() && value.toInteger(1) == value.toInteger(2))
            snapshottext::appendInteger(text, value.toInteger());
        else
            snapshottext::appendNumber(text, value.toDouble());
        text.append(']');
        const QJsonArray expected = QJsonDocument::fromJson(QJsonDocument(QJsonArray{value}).toJson()).array();
        QCOMPARE(QJsonDocument::fromJson(text).array(), expected);
        if (std::isfinite(value.toDouble()))
            QCOMPARE(QJsonDocument::fromJson(text).array().first().toDouble(), value.toDouble());
    }

    // The reader must accept exactly the texts QJsonDocument reads as an object, and give the same Records.
    void snapshotReaderAgreesWithQJsonDocument_data()
    {
        QTest::addColumn<QByteArray>("text");
        const QByteArray deep = QByteArray(1021, '[') + QByteArray(1021, ']');
        const QByteArray tooDeep = QByteArray(1022, '[') + QByteArray(1022, ']');
        QTest::newRow("document") << QByteArray("{\"app\":\"plindor\",\"items\":[{\"id\":\"a\",\"name\":\"螺丝\"},{\"id\":\"b\"}],\"customers\":[]}");
        QTest::newRow("blanks everywhere") << QByteArray(" \r\n\t{ \"items\" : [ {\"id\" : \"a\"} , {\"id\":\"b\"} ] , \"x\" : 1 } \n");
        QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF{\"items\":[{\"id\":\"a\"}]}");
        QTest::newRow("escaped key") << QByteArray("{\"item\\u0073\":[{\"id\":\"a\"}]}");
        QTest::newRow("raw byte order mark in a key") << QByteArray("{\"\xEF\xBB\xBFitems\":[{\"id\":\"a\"}],\"customers\":[{\"id\":\"c\"}]}");
        QTest::newRow("raw byte order mark beside the key") << QByteArray("{\"items\":[{\"id\":\"a\"}],\"\xEF\xBB\xBFitems\":5}");
        QTest::newRow("escaped key replaces plain") << QByteArray("{\"items\":[{\"id\":\"a\"}],\"item\\u0073\":[{\"id\":\"b\"}]}");
        QTest::newRow("later key wins") << QByteArray("{\"items\":[{\"id\":\"a\"}],\"items\":[{\"id\":\"b\"},{\"id\":\"c\"}]}");
        QTest::newRow("later scalar wins") << QByteArray("{\"items\":[{\"id\":\"a\"}],\"items\":5}");
        QTest::newRow("later array wins") << QByteArray("{\"items\":\"x\",\"items\":[{\"id\":\"a\"}]}");
        QTest::newRow("elements of every kind") << QByteArray("{\"items\":[1,\"s\",null,true,[{\"id\":\"x\"}],{\"id\":\"a\"},{}]}");
        QTest::newRow("brackets in strings") << QByteArray("{\"items\":[{\"id\":\"]}\\\"[{\",\"n\":\"\\\\\"}],\"k]\":\"{\"}");
        QTest::newRow("lax number and escape") << QByteArray("{\"items\":[{\"id\":\"a\",\"q\":1.,\"n\":\"\\x\"}]}");
        QTest::newRow("nested to the limit") << QByteArray("{\"items\":[" + deep + "]}");
        QTest::newRow("empty object") << QByteArray("{}");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("array at the top") << QByteArray("[{\"items\":[]}]");
        QTest::newRow("garbage at the end") << QByteArray("{\"items\":[{\"id\":\"a\"}]}x");
        QTest::newRow("two objects") << QByteArray("{\"items\":[]}{}");
        QTest::newRow("trailing comma in array") << QByteArray("{\"items\":[{\"id\":\"a\"},]}");
        QTest::newRow("trailing comma in object") << QByteArray("{\"items\":[],}");
        QTest::newRow("missing comma") << QByteArray("{\"items\":[{\"id\":\"a\"} {\"id\":\"b\"}]}");
        QTest::newRow("broken element") << QByteArray("{\"items\":[{\"id\":\"a\"},{\"id\":}]}");
        QTest::newRow("broken other value") << QByteArray("{\"app\":tru,\"items\":[]}");
        QTest::newRow("unterminated string") << QByteArray("{\"items\":[{\"id\":\"a");
        QTest::newRow("mismatched brackets") << QByteArray("{\"items\":[{\"id\":\"a\"]]}");
        QTest::newRow("key not a string") << QByteArray("{items:[]}");
        QTest::newRow("form feed is no blank") << QByteArray("{\f\"items\":[]}");
        QTest::newRow("byte order mark after a blank") << QByteArray(" \xEF\xBB\xBF{}");
        QTest::newRow("invalid UTF-8") << QByteArray("{\"items\":[{\"id\":\"\xff\"}]}");
        QTest::newRow("nested too deep") << QByteArray("{\"items\":[" + tooDeep + "]}");
        QTest::newRow("too deep elsewhere") << QByteArray("{\"x\":" + tooDeep + "[]}");
    }

    void snapshotReaderAgreesWithQJsonDocument()
    {
        QFETCH(QByteArray, text);
        QJsonParseError error;
        const QJsonDocument parsed = QJsonDocument::fromJson(text, &error);
        const bool accepted = error.error == QJsonParseError::NoError && parsed.isObject();
        const SnapshotReader reader(text);
        QCOMPARE(reader.isObject(), accepted);
        QCOMPARE(reader.isEmptyObject(), parsed.object().isEmpty());
        for (const TableInfo &table : tables()) {
            QList<QJsonObject> records;
            for (const QJsonValue &element : parsed.object().value(table.key).toArray()) {
                if (!element.toObject().isEmpty())
                    records << element.toObject();
            }
            QCOMPARE(reader.size(table.key), records.size());
            for (qsizetype i = 0; i < records.size(); ++i)
                QCOMPARE(reader.record(table.key, i), records.at(i));
        }
    }

    void versionsKeepTheNewest200()
    {
        freshDatabase(QStringLiteral("prune"));
        db.upsert(QStringLiteral("items"), {{"id", "i"}}, nullptr);
        for (int i = 1; i <= 205; ++i)
            QVERIFY(db.saveVersion(QStringLiteral("存档 %1").arg(i), QStringLiteral("qt")));
        QCOMPARE(versionCount(), 200);
        const QList<VersionInfo> versions = db.listVersions(200);
        QCOMPARE(versions.size(), 200);
        QCOMPARE(versions.first().id, 205);
        QCOMPARE(versions.last().id, 6);
        for (int i = 1; i < versions.size(); ++i)
            QCOMPARE(versions[i].id, versions[i - 1].id - 1);
        QCOMPARE(versions.first().reason, QStringLiteral("存档 205"));
        QCOMPARE(versions.first().source, QStringLiteral("qt"));
        QCOMPARE(versions.first().counts.value("items").toInt(-1), 1);
        QCOMPARE(versions.first().counts.size(), 6);
        QCOMPARE(db.listVersions(3).size(), 3);

        // A number that was pruned, or never existed, rolls back nothing and stores no version.
        QVERIFY(!db.rollbackTo(5, QStringLiteral("qt-ui")));
        QVERIFY(!db.rollbackTo(999, QStringLiteral("qt-ui")));
        QCOMPARE(versionCount(), 200);
        QCOMPARE(db.listVersions(1).first().id, 205);
    }

    void rollbackOfUnreadableVersion_data()
    {
        QTest::addColumn<QString>("snapshot");
        QTest::newRow("not json") << QStringLiteral("{broken");
        QTest::newRow("array") << QStringLiteral("[1,2]");
        QTest::newRow("empty object") << QStringLiteral("{}");
    }

    void rollbackOfUnreadableVersion()
    {
        QFETCH(QString, snapshot);
        freshDatabaseForRow(QStringLiteral("unreadable"));
        QSqlQuery insert(QSqlDatabase::database(QStringLiteral("plindor")));
        insert.prepare(QStringLiteral("INSERT INTO versions (createdAt, snapshot) VALUES ('x', ?)"));
        insert.addBindValue(snapshot);
        QVERIFY(insert.exec());
        const int id = insert.lastInsertId().toInt();
        QVERIFY(!db.rollbackTo(id, QStringLiteral("qt-ui")));
        QCOMPARE(versionCount(), 1);
    }

    // A snapshot stored as bytes rather than text reads the same.
    void rollbackOfABlobVersion()
    {
        freshDatabase(QStringLiteral("blob-version"));
        QSqlQuery insert(QSqlDatabase::database(QStringLiteral("plindor")));
        insert.prepare(QStringLiteral("INSERT INTO versions (createdAt, snapshot) VALUES ('x', ?)"));
        insert.addBindValue(QByteArray("{\"items\":[{\"id\":\"b1\",\"name\":\"字节\"},{\"name\":\"无编号\"}]}"));
        QVERIFY(insert.exec());
        const int id = insert.lastInsertId().toInt();
        QCOMPARE(rawValue(QStringLiteral("SELECT typeof(snapshot) FROM versions WHERE id = %1").arg(id)).toString(),
                 QStringLiteral("blob"));
        QVERIFY(db.rollbackTo(id, QStringLiteral("qt-ui")));
        QCOMPARE(db.rows(QStringLiteral("items")).size(), 1);
        QCOMPARE(rowOf(QStringLiteral("items"), QStringLiteral("b1")).value("name").toString(), QStringLiteral("字节"));
        QCOMPARE(versionCount(), 3);
    }

    void rollbackRestoresTheVersion()
    {
        const QString path = freshDatabase(QStringLiteral("rollback"));
        db.upsert(QStringLiteral("items"),
                  {{"id", "i1"}, {"name", "旧名"}, {"barcode", "690"}, {"createdAt", "2024-01-01 08:00:00"},
                   {"updatedAt", "2024-02-01 09:00:00"}},
                  nullptr);
        db.upsert(QStringLiteral("customers"), {{"id", "c1"}, {"name", "老客户"}, {"createdAt", "2024-01-01 08:00:00"}},
                  nullptr);
        QVERIFY(db.saveVersion(QStringLiteral("界面手动存档"), QStringLiteral("qt-ui")));
        const int saved = db.listVersions(1).first().id;
        QCOMPARE(rawValue(QStringLiteral("SELECT typeof(snapshot) FROM versions WHERE id = %1").arg(saved)).toString(),
                 QStringLiteral("text"));

        QVERIFY(db.updateRecord(QStringLiteral("items"), QStringLiteral("i1"), {{"name", "新名"}}, nullptr));
        QVERIFY(db.softDelete(QStringLiteral("customers"), QStringLiteral("c1"), nullptr));
        db.upsert(QStringLiteral("items"), {{"id", "i2"}, {"name", "后来的"}, {"createdAt", "2025-01-01 00:00:00"}}, nullptr);
        const QJsonObject later = rowOf(QStringLiteral("items"), QStringLiteral("i2"));
        // Stamps older than now show that the rollback rewrote the rows.
        rawValue(QStringLiteral("UPDATE items SET serverUpdatedAt = '2000-01-01 00:00:00' WHERE id = 'i1'"));

        QVERIFY(db.rollbackTo(saved, QStringLiteral("qt-ui")));

        const QJsonObject item = rowOf(QStringLiteral("items"), QStringLiteral("i1"));
        QCOMPARE(item.value("name").toString(), QStringLiteral("旧名"));
        QCOMPARE(item.value("barcode").toString(), QStringLiteral("690"));
        QCOMPARE(item.value("updatedAt").toString(), QStringLiteral("2024-02-01 09:00:00"));
        QVERIFY(item.value("serverUpdatedAt").toString() > QStringLiteral("2026"));
        const QJsonObject customer = rowOf(QStringLiteral("customers"), QStringLiteral("c1"));
        QCOMPARE(customer.value("name").toString(), QStringLiteral("老客户"));
        QCOMPARE(customer.value("deleted").toInt(-1), 0);
        QCOMPARE(rowOf(QStringLiteral("items"), QStringLiteral("i2")), later);

        const QList<VersionInfo> versions = db.listVersions(10);
        QCOMPARE(versions.size(), 3);
        QCOMPARE(versions[0].reason, QStringLiteral("回滚到版本 #%1").arg(saved));
        QCOMPARE(versions[1].reason, QStringLiteral("回滚前自动存档"));
        QCOMPARE(versions[0].source, QStringLiteral("qt-ui"));
        QCOMPARE(versions[1].source, QStringLiteral("qt-ui"));
        QCOMPARE(versions[1].counts.value("customers").toInt(-1), 0);
        QCOMPARE(versions[0].counts.value("customers").toInt(-1), 1);

        // Committed: a connection of its own sees the restored name.
        QCOMPARE(valueFromFile(path, QStringLiteral("SELECT name FROM items WHERE id = 'i1'")).toString(),
                 QStringLiteral("旧名"));
    }

    void mergeSummaryLines_data()
    {
        QTest::addColumn<QJsonObject>("document");
        QTest::addColumn<QJsonObject>("perTable");
        QTest::addColumn<QStringList>("details");

        const auto zeros = [](QJsonObject changes) {
            QJsonObject counts{{"items", 0}, {"transactions", 0}, {"categories", 0},
                               {"locations", 0}, {"customers", 0}, {"relations", 0}};
            for (auto it = changes.begin(); it != changes.end(); ++it)
                counts.insert(it.key(), it.value());
            return counts;
        };
        const auto records = [](const QString &prefix, int n) {
            QJsonArray array;
            for (int i = 0; i < n; ++i)
                array.append(QJsonObject{{"id", QStringLiteral("%1%2").arg(prefix).arg(i)}, {"name", "n"}});
            return array;
        };

        QTest::newRow("empty") << QJsonObject() << zeros({}) << QStringList{"没有新数据"};
        QTest::newRow("other keys only")
            << QJsonObject{{"versions", records("v", 2)}, {"sync_log", records("s", 1)}, {"app", "plindor"}, {"protocol", 1},
                           {"items", "not an array"}}
            << zeros({}) << QStringList{"没有新数据"};
        QTest::newRow("two items and a customer")
            << QJsonObject{{"items", records("i", 2)}, {"customers", records("c", 1)}}
            << zeros({{"items", 2}, {"customers", 1}}) << QStringList{"物品 2 新增/更新", "分类 0、存放处 0、客户 1"};
        QTest::newRow("every table")
            << QJsonObject{{"items", records("i", 1)}, {"transactions", records("t", 12)}, {"categories", records("k", 3)},
                           {"locations", records("l", 2)}, {"relations", records("r", 1)}}
            << zeros({{"items", 1}, {"transactions", 12}, {"categories", 3}, {"locations", 2}, {"relations", 1}})
            << QStringList{"物品 1 新增/更新", "流水 12 新增", "分类 3、存放处 2、客户 0", "关联 1 新增"};
        QTest::newRow("transactions only")
            << QJsonObject{{"transactions", records("t", 1)}} << zeros({{"transactions", 1}}) << QStringList{"流水 1 新增"};
        QTest::newRow("bad ids skipped")
            << QJsonObject{{"items", QJsonArray{QJsonObject{{"name", "no id"}}, QJsonObject{{"id", ""}}, QJsonObject{{"id", 7}},
                                                 "not an object", QJsonObject{{"id", "ok"}}}},
                           {"customers", QJsonArray{QJsonObject{{"id", QJsonValue::Null}}}},
                           {"transactions", QJsonArray{QJsonObject{{"id", 1}}, QJsonObject{{"id", ""}}}},
                           {"relations", QJsonArray{QJsonObject{{"id", true}}}}}
            << zeros({{"items", 1}}) << QStringList{"物品 1 新增/更新"};
    }

    void mergeSummaryLines()
    {
        QFETCH(QJsonObject, document);
        QFETCH(QJsonObject, perTable);
        QFETCH(QStringList, details);
        freshDatabaseForRow(QStringLiteral("summary"));
        const MergeResult result = db.merge(document);
        QCOMPARE(result.perTable, perTable);
        QCOMPARE(result.details, details);
        QCOMPARE(db.counts(), perTable);
    }

    void mergeNewerDecides_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QJsonObject>("master");
        QTest::addColumn<bool>("masterDeleted");
        QTest::addColumn<QJsonObject>("incoming");
        QTest::addColumn<bool>("written");

        const QJsonObject item{{"id", "i1"}, {"name", "本地"}, {"barcode", "690"}, {"quantity", 5},
                               {"createdAt", "2024-01-01 08:00:00"}, {"updatedAt", "2024-03-01 10:00:00"}};
        const auto pushed = [](QJsonObject changes) {
            QJsonObject record{{"id", "i1"}, {"name", "手机"}};
            for (auto it = changes.begin(); it != changes.end(); ++it)
                record.insert(it.key(), it.value());
            return record;
        };
        QTest::newRow("equal") << "items" << item << false << pushed({{"updatedAt", "2024-03-01 10:00:00"}}) << false;
        QTest::newRow("one second later") << "items" << item << false << pushed({{"updatedAt", "2024-03-01 10:00:01"}}) << true;
        QTest::newRow("older") << "items" << item << false << pushed({{"updatedAt", "2024-02-28 23:59:59"}}) << false;
        QTest::newRow("missing") << "items" << item << false << pushed({}) << false;
        QTest::newRow("numeric") << "items" << item << false << pushed({{"updatedAt", 1900000000000.0}}) << false;
        QTest::newRow("createdAt newer but updatedAt equal")
            << "items" << item << false
            << pushed({{"createdAt", "2099-01-01 00:00:00"}, {"updatedAt", "2024-03-01 10:00:00"}}) << false;
        QTest::newRow("no master row, missing stamp") << "items" << QJsonObject() << false << pushed({}) << true;
        QTest::newRow("no master row, numeric stamp")
            << "items" << QJsonObject() << false << pushed({{"updatedAt", 5}}) << true;
        QTest::newRow("master stamp empty")
            << "items" << QJsonObject{{"id", "i1"}, {"name", "本地"}, {"createdAt", "2024-01-01 08:00:00"}, {"updatedAt", ""}}
            << false << pushed({{"updatedAt", "2000-01-01 00:00:00"}}) << true;
        QTest::newRow("soft-deleted master revived")
            << "items" << item << true << pushed({{"updatedAt", "2024-03-02 00:00:00"}}) << true;
        QTest::newRow("soft-deleted master stays") << "items" << item << true << pushed({{"updatedAt", "2024-03-01 10:00:00"}})
                                                   << false;
        QTest::newRow("deleted flag pushed") << "items" << QJsonObject() << false
                                             << pushed({{"deleted", 1}, {"serverUpdatedAt", "2099-01-01 00:00:00"}}) << true;

        const QJsonObject category{{"id", "i1"}, {"name", "本地"}, {"createdAt", "2024-01-01 08:00:00"}};
        QTest::newRow("category renamed, same createdAt")
            << "categories" << category << false << pushed({{"createdAt", "2024-01-01 08:00:00"}}) << false;
        QTest::newRow("category newer createdAt")
            << "categories" << category << false << pushed({{"createdAt", "2024-01-01 08:00:01"}}) << true;
        QTest::newRow("location newer createdAt")
            << "locations" << category << false << pushed({{"createdAt", "2024-01-02 00:00:00"}}) << true;
        QTest::newRow("customer older createdAt")
            << "customers" << category << false << pushed({{"createdAt", "2023-12-31 23:59:59"}}) << false;
    }

    void mergeNewerDecides()
    {
        QFETCH(QString, table);
        QFETCH(QJsonObject, master);
        QFETCH(bool, masterDeleted);
        QFETCH(QJsonObject, incoming);
        QFETCH(bool, written);
        freshDatabaseForRow(QStringLiteral("newer"));
        if (!master.isEmpty()) {
            QCOMPARE(db.upsert(table, master, nullptr), QStringLiteral("i1"));
            if (masterDeleted)
                db.softDelete(table, QStringLiteral("i1"), nullptr);
            // upsert fills an empty stamp; a row from elsewhere may still hold none.
            if (master.value("updatedAt") == QJsonValue(QString()))
                rawValue(QStringLiteral("UPDATE items SET updatedAt = NULL"));
        }
        rawValue(QStringLiteral("UPDATE %1 SET serverUpdatedAt = 'old'").arg(table));

        const QString before = Database::nowText();
        const MergeResult result = db.merge({{table, QJsonArray{incoming}}});
        const QString after = Database::nowText();
        QCOMPARE(result.perTable.value(table).toInt(), written ? 1 : 0);

        const QString name = rawValue(QStringLiteral("SELECT name FROM %1 WHERE id = 'i1'").arg(table)).toString();
        const QString stamp = rawValue(QStringLiteral("SELECT serverUpdatedAt FROM %1 WHERE id = 'i1'").arg(table)).toString();
        const int deleted = rawValue(QStringLiteral("SELECT deleted FROM %1 WHERE id = 'i1'").arg(table)).toInt();
        if (written) {
            QCOMPARE(name, QStringLiteral("手机"));
            QVERIFY2(stamp >= before && stamp <= after, qPrintable(stamp));
            QCOMPARE(deleted, 0);
            // The pushed row replaces the whole row: what it lacks is empty now.
            if (table == QLatin1String("items")) {
                const QJsonObject row = rowOf(table, QStringLiteral("i1"));
                QCOMPARE(row.value("barcode").toString(QStringLiteral("<not text>")), QString());
                QCOMPARE(row.value("quantity").toString(QStringLiteral("<not text>")), QString());
                const QJsonValue pushedStamp = incoming.value("updatedAt");
                QCOMPARE(row.value("updatedAt").toString(),
                         pushedStamp.isString() ? pushedStamp.toString() : row.value("createdAt").toString());
            }
        } else {
            QCOMPARE(name, QStringLiteral("本地"));
            QCOMPARE(stamp, QStringLiteral("old"));
            QCOMPARE(deleted, masterDeleted ? 1 : 0);
        }
    }

    void mergeMissingNeverRewrites()
    {
        freshDatabase(QStringLiteral("missing"));
        db.upsert(QStringLiteral("transactions"), {{"id", "t-live"}, {"type", "入库"}, {"quantity", 3}}, nullptr);
        db.upsert(QStringLiteral("transactions"), {{"id", "t-gone"}, {"type", "出库"}}, nullptr);
        db.softDelete(QStringLiteral("transactions"), QStringLiteral("t-gone"), nullptr);
        db.upsert(QStringLiteral("relations"), {{"id", "r1"}, {"quantity", 2}}, nullptr);
        rawValue(QStringLiteral("UPDATE transactions SET serverUpdatedAt = 'old'"));

        const MergeResult result = db.merge(
            {{"transactions", QJsonArray{QJsonObject{{"id", "t-live"}, {"type", "改"}, {"createdAt", "2099-01-01 00:00:00"}},
                                         QJsonObject{{"id", "t-gone"}, {"type", "改"}},
                                         QJsonObject{{"id", "t-new"}, {"type", "入库"}, {"deleted", 1}},
                                         QJsonObject{{"id", "t-new"}, {"type", "重复"}}}},
             {"relations", QJsonArray{QJsonObject{{"id", "r1"}, {"quantity", 9}}, QJsonObject{{"id", "r2"}}}}});
        QCOMPARE(result.perTable.value("transactions").toInt(), 1);
        QCOMPARE(result.perTable.value("relations").toInt(), 1);
        QCOMPARE(result.details, QStringList({"流水 1 新增", "关联 1 新增"}));

        QCOMPARE(rawValue(QStringLiteral("SELECT type || '/' || serverUpdatedAt || '/' || deleted FROM transactions WHERE id = 't-live'")).toString(),
                 QStringLiteral("入库/old/0"));
        QCOMPARE(rawValue(QStringLiteral("SELECT type || '/' || deleted FROM transactions WHERE id = 't-gone'")).toString(),
                 QStringLiteral("出库/1"));
        QCOMPARE(rawValue(QStringLiteral("SELECT type || '/' || deleted FROM transactions WHERE id = 't-new'")).toString(),
                 QStringLiteral("入库/0"));
        QCOMPARE(rowOf(QStringLiteral("relations"), QStringLiteral("r1")).value("quantity").toDouble(), 2.0);
        // Missing createdAt and quantity: the stamp of now and an empty text, as any upsert.
        const QJsonObject r2 = rowOf(QStringLiteral("relations"), QStringLiteral("r2"));
        QCOMPARE(r2.value("createdAt").toString(), r2.value("serverUpdatedAt").toString());
        QCOMPARE(r2.value("quantity").toString(QStringLiteral("<not text>")), QString());
    }

    void mergeComparesRepeatedIdsWithTheirFirstCopy()
    {
        freshDatabase(QStringLiteral("repeated"));
        const MergeResult result = db.merge(
            {{"items", QJsonArray{QJsonObject{{"id", "i"}, {"name", "第一"}, {"updatedAt", "2024-05-02 00:00:00"}},
                                  QJsonObject{{"id", "i"}, {"name", "较旧"}, {"updatedAt", "2024-05-01 00:00:00"}},
                                  QJsonObject{{"id", "i"}, {"name", "最新"}, {"updatedAt", "2024-05-03 00:00:00"}}}},
             {"customers", QJsonArray{QJsonObject{{"id", "c"}, {"name", "无时间"}},
                                      QJsonObject{{"id", "c"}, {"name", "也无时间"}}}}});
        QCOMPARE(result.perTable.value("items").toInt(), 2);
        QCOMPARE(rowOf(QStringLiteral("items"), QStringLiteral("i")).value("name").toString(), QStringLiteral("最新"));
        // The first copy got createdAt now, so the second, without a stamp, loses.
        QCOMPARE(result.perTable.value("customers").toInt(), 1);
        QCOMPARE(rowOf(QStringLiteral("customers"), QStringLiteral("c")).value("name").toString(), QStringLiteral("无时间"));
    }

    void mergeKeepsRowsAroundAFailingOne()
    {
        const QString path = dir.filePath(QStringLiteral("failing/data/plindor.db"));
        QDir().mkpath(QFileInfo(path).absolutePath());
        QVERIFY(testutil::execOnFile(path, QStringLiteral(
            "CREATE TABLE customers (id TEXT PRIMARY KEY, name TEXT CHECK (name != '坏'), phone TEXT, address TEXT, "
            "createdAt TEXT, serverUpdatedAt TEXT, deleted INTEGER DEFAULT 0)")));
        QString error;
        QVERIFY(db.open(path, &error));

        const MergeResult result = db.merge(
            {{"customers", QJsonArray{QJsonObject{{"id", "a"}, {"name", "好"}}, QJsonObject{{"id", "b"}, {"name", "坏"}},
                                      QJsonObject{{"id", "c"}, {"name", "也好"}}}},
             {"items", QJsonArray{QJsonObject{{"id", "i"}, {"name", "物品"}}}}});
        // Only rows really written are counted.
        QVERIFY2(result.error.isEmpty(), qPrintable(result.error));
        QCOMPARE(result.perTable.value("customers").toInt(), 2);
        QCOMPARE(result.details, QStringList({"物品 1 新增/更新", "分类 0、存放处 0、客户 2"}));
        QCOMPARE(valueFromFile(path, QStringLiteral("SELECT group_concat(id, ',') FROM (SELECT id FROM customers ORDER BY id)"))
                     .toString(),
                 QStringLiteral("a,c"));
        QCOMPARE(valueFromFile(path, QStringLiteral("SELECT COUNT(*) FROM items")).toInt(), 1);
        // The transaction is over: the connection writes on its own again.
        QVERIFY(!db.upsert(QStringLiteral("customers"), {{"id", "d"}, {"name", "又一个"}}, nullptr).isEmpty());
        QCOMPARE(valueFromFile(path, QStringLiteral("SELECT COUNT(*) FROM customers")).toInt(), 3);
    }

    // Each commit appends at least one page to the write-ahead log, so the log's growth tells one
    // transaction from one commit per row.
    void bulkWritesCommitOnce_data()
    {
        QTest::addColumn<bool>("rollback");
        QTest::newRow("merge") << false;
        QTest::newRow("rollback") << true;
    }

    void bulkWritesCommitOnce()
    {
        QFETCH(bool, rollback);
        const QString path = freshDatabaseForRow(QStringLiteral("commits"));
        QJsonArray customers;
        for (int i = 0; i < 300; ++i)
            customers.append(QJsonObject{{"id", QStringLiteral("c%1").arg(i)}, {"name", "客户"}});
        const QJsonObject document{{"customers", customers}};
        if (rollback) {
            db.merge(document);
            QVERIFY(db.saveVersion(QStringLiteral("存档"), QStringLiteral("qt")));
        }
        const int pageSize = rawValue(QStringLiteral("PRAGMA page_size")).toInt();
        const qint64 before = QFileInfo(path + QStringLiteral("-wal")).size();

        if (rollback)
            QVERIFY(db.rollbackTo(db.listVersions(1).first().id, QStringLiteral("qt-ui")));
        else
            QCOMPARE(db.merge(document).perTable.value("customers").toInt(), 300);

        const qint64 frames = (QFileInfo(path + QStringLiteral("-wal")).size() - before) / (pageSize + 24);
        QVERIFY2(frames < 100, qPrintable(QStringLiteral("%1 log pages").arg(frames)));
        QCOMPARE(valueFromFile(path, QStringLiteral("SELECT COUNT(*) FROM customers WHERE deleted = 0")).toInt(), 300);
    }

    // The merge holds the write lock from its first reading: another program cannot commit in between
    // and make the merge's writes fail against what it read.
    void otherWriterWaitsForTheMerge()
    {
        const QString path = freshDatabase(QStringLiteral("interloper"));
        QVERIFY(!db.upsert("items", {{"id", "i1"}, {"name", "旧"}, {"updatedAt", "2026-01-01 00:00:00"}}, nullptr).isEmpty());
        bool otherCommitted = false;
        {
            testutil::SideConnection other(path);
            QVERIFY(other.exec(QStringLiteral("PRAGMA busy_timeout = 0")));
            const QString otherWrite = QStringLiteral("UPDATE items SET name = '别人' WHERE id = 'i1'");
            const QJsonObject document{
                {"items", QJsonArray{QJsonObject{{"id", "i1"}, {"name", "新"}, {"updatedAt", "2026-01-02 00:00:00"}},
                                     QJsonObject{{"id", "i2"}, {"name", "另一个"}}}},
                {"transactions", QJsonArray{QJsonObject{{"id", "t1"}, {"itemId", "i2"}}}}};
            const HookedSource source(document, [&] { otherCommitted = QSqlQuery(other.database()).exec(otherWrite); });

            const MergeResult result = db.merge(source);
            QVERIFY2(result.error.isEmpty(), qPrintable(result.error));
            QVERIFY(!otherCommitted);
            QCOMPARE(result.perTable.value("items").toInt(), 2);
            QCOMPARE(result.perTable.value("transactions").toInt(), 1);
            QCOMPARE(valueFromFile(path, QStringLiteral("SELECT group_concat(name, ',') FROM (SELECT name FROM items ORDER BY id)"))
                         .toString(),
                     QStringLiteral("新,另一个"));
            QCOMPARE(valueFromFile(path, QStringLiteral("SELECT COUNT(*) FROM transactions")).toInt(), 1);
            // Once the merge is over, the other program writes again.
            QVERIFY(other.exec(otherWrite));
        }
    }

    // A rollback and the operator's changes that meet a fault of the database leave the data as it was
    // and say why.
    void writesUnderFault_data()
    {
        testutil::addStorageFaultRows();
    }

    void writesUnderFault()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        const QString path = freshDatabase(QStringLiteral("fault-") + fault);
        for (int i = 0; i < 200; ++i)
            db.upsert("items", {{"id", QStringLiteral("i%1").arg(i)}, {"name", QStringLiteral("螺丝 %1 ").arg(i).repeated(10)}}, nullptr);
        QVERIFY(db.saveVersion(QStringLiteral("存档"), QStringLiteral("qt")));
        const int version = db.listVersions(1).first().id;
        QVERIFY(db.updateRecord("items", "i0", {{"name", "改过"}}, nullptr));
        QVERIFY(db.softDelete("items", "i1", nullptr));
        const QJsonArray before = db.rows("items");
        const int versionsBefore = db.listVersions(300).size();
        const QString longName = QStringLiteral("长").repeated(20000);

        testutil::StorageFault storageFault(fault, path);
        QString error;
        QVERIFY(!db.rollbackTo(version, QStringLiteral("qt-ui"), &error));
        QVERIFY2(error.contains(reason), qPrintable(error));
        error.clear();
        QVERIFY(db.upsert("items", {{"id", "new"}, {"name", longName}}, &error).isEmpty());
        QVERIFY2(error.contains(reason), qPrintable(error));
        error.clear();
        QVERIFY(!db.updateRecord("items", "i2", {{"name", longName}}, &error));
        QVERIFY2(error.contains(reason), qPrintable(error));
        storageFault.lift();

        QCOMPARE(db.rows("items"), before);
        QCOMPARE(db.listVersions(300).size(), versionsBefore);
        QVERIFY(db.rollbackTo(version, QStringLiteral("qt-ui"), &error));
        QCOMPARE(db.rows("items").size(), 200);
        QCOMPARE(db.listVersions(300).size(), versionsBefore + 2);
    }

    // A lone surrogate cannot be stored as it is: the id is stored, compared and exported as one text
    // with U+FFFD in its place, so a row the operator deleted is not brought back by the next push.
    void loneSurrogateIds_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("pushed");
        QTest::addColumn<QString>("stored");
        const QChar high(0xd800);
        const QChar low(0xdc00);
        const QString replacement(QChar::ReplacementCharacter);
        const QString pair = QStringLiteral("零\U0001F600");
        for (const char *table : {"items", "transactions"}) {
            const QByteArray name(table);
            QTest::newRow(name + " high before a letter") << table << QStringLiteral("t") + high + QStringLiteral("x")
                                                          << QStringLiteral("t") + replacement + QStringLiteral("x");
            QTest::newRow(name + " low alone") << table << QString(low) << replacement;
            QTest::newRow(name + " high at the end") << table << QStringLiteral("a") + high << QStringLiteral("a") + replacement;
            QTest::newRow(name + " pair reversed") << table << QString(low) + high << replacement + replacement;
            QTest::newRow(name + " pair kept") << table << pair << pair;
        }
    }

    void loneSurrogateIds()
    {
        QFETCH(QString, table);
        QFETCH(QString, pushed);
        QFETCH(QString, stored);
        static int round = 0;
        freshDatabase(QStringLiteral("surrogate-%1").arg(++round));
        const QJsonObject document{
            {table, QJsonArray{QJsonObject{{"id", pushed}, {"updatedAt", "2026-01-02 10:00:00"}}}}};
        QCOMPARE(db.merge(document).perTable.value(table).toInt(), 1);
        QCOMPARE(db.rows(table).first()["id"].toString(), stored);
        const QJsonObject exported = QJsonDocument::fromJson(db.snapshotText()).object();
        QCOMPARE(exported[table].toArray().first()["id"].toString(), stored);

        QString error;
        QVERIFY2(db.softDelete(table, pushed, &error), qPrintable(error));
        QCOMPARE(db.counts().value(table).toInt(), 0);
        QCOMPARE(db.merge(document).perTable.value(table).toInt(), 0);
        QCOMPARE(db.counts().value(table).toInt(), 0);
        QCOMPARE(rawValue(QStringLiteral("SELECT COUNT(*) FROM %1").arg(table)).toInt(), 1);
    }

    void syncLogListsAndClears()
    {
        freshDatabase(QStringLiteral("synclog"));
        QCOMPARE(db.clearSyncLog(), 0);
        for (int i = 1; i <= 150; ++i)
            db.logSync(QStringLiteral("192.168.1.%1").arg(i), QStringLiteral("推送"), QStringLiteral("第 %1 次").arg(i));
        rawValue(QStringLiteral("UPDATE sync_log SET summary = NULL WHERE id = 150"));
        const QJsonArray recent = db.recentSyncLog(100);
        QCOMPARE(recent.size(), 100);
        const QJsonObject newest = recent.first().toObject();
        QCOMPARE(newest.value("peer").toString(), QStringLiteral("192.168.1.150"));
        QCOMPARE(newest.value("action").toString(), QStringLiteral("推送"));
        QCOMPARE(newest.value("detail").toString(QStringLiteral("<not text>")), QString());
        QCOMPARE(newest.value("at").toString().size(), 19);
        QCOMPARE(recent.last().toObject().value("detail").toString(), QStringLiteral("第 51 次"));

        QCOMPARE(db.clearSyncLog(), 150);
        QCOMPARE(db.recentSyncLog(100).size(), 0);
        db.logSync(QStringLiteral("qt-ui"), QStringLiteral("回滚"), QStringLiteral("回滚到版本 #3"));
        QCOMPARE(rawValue(QStringLiteral("SELECT id FROM sync_log")).toInt(), 1);
    }

    void backupHoldsRowsStillInTheLog()
    {
        const QString path = freshDatabase(QStringLiteral("wal"));
        for (int i = 0; i < 20; ++i)
            db.upsert(QStringLiteral("items"), {{"id", QStringLiteral("i%1").arg(i)}, {"name", "轴承"}}, nullptr);
        // The main file alone lacks these rows: they wait in the write-ahead log.
        const QString bare = dir.filePath(QStringLiteral("wal-bare.db"));
        QVERIFY(QFile::copy(path, bare));
        QVERIFY(valueFromFile(bare, QStringLiteral("SELECT COUNT(*) FROM items")).toInt() != 20);

        // A copy left over from a crash is neither today's backup nor in the way.
        QDir().mkpath(backupFolder(path));
        const QString target = QDir(backupFolder(path)).absoluteFilePath(todaysBackupName());
        QFile leftover(target + QStringLiteral(".part"));
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        leftover.write("half a file");
        leftover.close();

        QVERIFY(db.dailyBackupDue());
        QCOMPARE(db.dailyBackup(), target);
        QVERIFY(!db.dailyBackupDue());
        QVERIFY(!QFile::exists(target + QStringLiteral(".part")));
        QVERIFY(!QFile::exists(target + QStringLiteral("-wal")));
        QCOMPARE(valueFromFile(target, QStringLiteral("SELECT COUNT(*) FROM items")).toInt(), 20);

        // Later the same day: nothing is copied.
        const QDateTime made = QFileInfo(target).lastModified();
        db.upsert(QStringLiteral("items"), {{"id", "later"}}, nullptr);
        QCOMPARE(db.dailyBackup(), QString());
        QCOMPARE(QFileInfo(target).lastModified(), made);
        QCOMPARE(QDir(backupFolder(path)).entryList(QDir::Files).size(), 1);
    }

    void backupKeepsThe30Newest()
    {
        const QString path = freshDatabase(QStringLiteral("retention"));
        const QDir folder(backupFolder(path));
        QDir().mkpath(folder.path());
        QStringList old;
        for (int day = 1; day <= 29; ++day)
            old << QStringLiteral("plindor-202001%1.db").arg(day, 2, 10, QLatin1Char('0'));
        old << QStringLiteral("plindor-other.db");
        for (const QString &name : old) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QFile unrelated(folder.filePath(QStringLiteral("notes.txt")));
        QVERIFY(unrelated.open(QIODevice::WriteOnly));
        unrelated.close();

        QCOMPARE(db.dailyBackup(), folder.absoluteFilePath(todaysBackupName()));
        const QStringList kept = folder.entryList({QStringLiteral("plindor-*.db")}, QDir::Files, QDir::Name);
        QCOMPARE(kept.size(), 30);
        QVERIFY(!kept.contains(QStringLiteral("plindor-20200101.db")));
        QVERIFY(kept.contains(QStringLiteral("plindor-20200102.db")));
        QVERIFY(kept.contains(QStringLiteral("plindor-other.db")));
        QVERIFY(kept.contains(todaysBackupName()));
        QVERIFY(QFile::exists(folder.filePath(QStringLiteral("notes.txt"))));
    }

    // Today's copy lasts under its name (flushed, renamed, its folder flushed) before the oldest copy goes;
    // a backup folder made for it is flushed into the database's folder first.
    void backupIsDurableBeforeTheOldestGoes_data()
    {
        QTest::addColumn<int>("older");
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("after");
        QTest::newRow("first backup") << -1 << QStringList{"flush folder ."} << QStringList();
        QTest::newRow("30 kept") << 30 << QStringList() << QStringList{"remove 备份/plindor-20200101.db"};
    }

    void backupIsDurableBeforeTheOldestGoes()
    {
        QFETCH(int, older);
        QFETCH(QStringList, before);
        QFETCH(QStringList, after);
        const QString path = freshDatabaseForRow(QStringLiteral("durable-backup"));
        db.upsert(QStringLiteral("items"), {{"id", "i1"}}, nullptr);
        const QDir folder(backupFolder(path));
        if (older >= 0)
            QVERIFY(QDir().mkpath(folder.path()));
        for (int day = 1; day <= older; ++day) {
            QFile file(folder.filePath(QStringLiteral("plindor-202001%1.db").arg(day, 2, 10, QLatin1Char('0'))));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }

        testutil::FileSteps steps(QFileInfo(path).absolutePath());
        QCOMPARE(db.dailyBackup(), folder.absoluteFilePath(todaysBackupName()));
        const QString today = QStringLiteral("备份/") + todaysBackupName();
        const QStringList made{"flush file " + today + ".part", "rename " + today, "flush folder 备份"};
        QCOMPARE(steps.seen, before + made + after);
        QCOMPARE(valueFromFile(folder.filePath(todaysBackupName()), QStringLiteral("SELECT COUNT(*) FROM items")).toInt(), 1);
    }

    void backupWithoutDatabaseFileDoesNothing()
    {
        const QString path = freshDatabase(QStringLiteral("nofile"));
        db.close();
        for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
            QFile::remove(path + suffix);
        QCOMPARE(db.dailyBackup(), QString());
        QVERIFY(!QFileInfo::exists(backupFolder(path)));
    }

    void backupOfAClosedDatabase()
    {
        const QString path = freshDatabase(QStringLiteral("closedcopy"));
        db.upsert(QStringLiteral("customers"), {{"id", "c"}}, nullptr);
        db.close();
        const QString target = db.dailyBackup();
        QCOMPARE(target, QDir(backupFolder(path)).absoluteFilePath(todaysBackupName()));
        QCOMPARE(valueFromFile(target, QStringLiteral("SELECT COUNT(*) FROM customers")).toInt(), 1);
    }

    // Copies dated after today (the clock was once set ahead) are kept and reported, and today's copy,
    // which sorts before them, is not the one that goes.
    void backupKeepsLaterDatedCopies()
    {
        const QString path = freshDatabase(QStringLiteral("later"));
        const QDir folder(backupFolder(path));
        QDir().mkpath(folder.path());
        QStringList names;
        for (int day = 1; day <= 5; ++day)
            names << QStringLiteral("plindor-%1.db").arg(QDate::currentDate().addDays(-day).toString(QStringLiteral("yyyyMMdd")));
        for (int day = 1; day <= 30; ++day)
            names << QStringLiteral("plindor-%1.db").arg(QDate::currentDate().addDays(day).toString(QStringLiteral("yyyyMMdd")));
        for (const QString &name : names) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }

        QStringList notes;
        const QString target = db.dailyBackup(&notes);
        QCOMPARE(target, folder.absoluteFilePath(todaysBackupName()));
        QCOMPARE(valueFromFile(target, QStringLiteral("SELECT COUNT(*) FROM sync_log")).toInt(), 0);
        const QStringList kept = folder.entryList({QStringLiteral("plindor-*.db")}, QDir::Files, QDir::Name);
        QCOMPARE(kept.size(), 36);
        for (const QString &name : names)
            QVERIFY2(kept.contains(name), qPrintable(name));
        QCOMPARE(notes.size(), 1);
        QVERIFY2(notes.first().contains(QStringLiteral("30 份日期晚于今天的备份")), qPrintable(notes.first()));
    }

#ifdef Q_OS_UNIX
    // A copy cut off by a file size limit, the way a full disk cuts it off, leaves no partial file and
    // no journal, says why, and does not stand in the way of the next attempt.
    void failedBackupLeavesNothingBehind()
    {
        const QString path = freshDatabase(QStringLiteral("failedcopy"));
        QJsonArray items;
        for (int i = 0; i < 2000; ++i)
            items.append(QJsonObject{{"id", QStringLiteral("i%1").arg(i)}, {"name", QStringLiteral("轴承 %1").arg(i).repeated(8)}});
        db.merge(QJsonObject{{"items", items}});
        const QDir folder(backupFolder(path));
        QDir().mkpath(folder.path());
        QFile leftover(folder.filePath(todaysBackupName() + QStringLiteral(".part-journal")));
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        leftover.write(QByteArray(4096, 'x'));
        leftover.close();

        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit small = saved;
        small.rlim_cur = 64 * 1024;
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        QStringList notes;
        const QString target = db.dailyBackup(&notes);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);

        QCOMPARE(target, QString());
        QCOMPARE(folder.entryList(QDir::Files), QStringList());
        QCOMPARE(notes.size(), 1);
        QVERIFY2(notes.first().startsWith(QStringLiteral("自动备份数据库失败: ")), qPrintable(notes.first()));

        QCOMPARE(db.dailyBackup(), folder.absoluteFilePath(todaysBackupName()));
        QCOMPARE(valueFromFile(folder.filePath(todaysBackupName()), QStringLiteral("SELECT COUNT(*) FROM items")).toInt(), 2000);
    }
#endif

    // A file that is no database is refused, keeps its place in the backups out, and a good open of the
    // same path afterwards clears the reason.
    void unusableFileIsNotBackedUpUntilAGoodOpen()
    {
        const QString path = dir.filePath(QStringLiteral("notadb/data/plindor.db"));
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("这不是数据库，是一份说明文字。").repeated(400));
        file.close();

        QString error;
        QVERIFY(!db.open(path, &error));
        QVERIFY2(error.startsWith(QStringLiteral("数据库文件无法识别")), qPrintable(error));
        QVERIFY(error.startsWith(db.unusableReason()));
        QVERIFY(!db.isOpen());
        QCOMPARE(db.dailyBackup(), QString());
        QVERIFY(!QFileInfo::exists(backupFolder(path)));

        QVERIFY(QFile::remove(path));
        QVERIFY2(db.open(path, &error), qPrintable(error));
        QCOMPARE(db.unusableReason(), QString());
        QVERIFY(!db.dailyBackup().isEmpty());
    }

    // Closing checkpoints the write-ahead log and empties it: the file alone then holds every row.
    void closeLeavesTheWholeDatabaseInItsFile()
    {
        const QString path = freshDatabase(QStringLiteral("closelog"));
        db.upsert(QStringLiteral("customers"), {{"id", "c1"}, {"name", "王师傅"}}, nullptr);
        QVERIFY(QFileInfo(path + QStringLiteral("-wal")).size() > 0);
        // Another program that has read the file keeps SQLite from removing the log by itself on closing.
        {
            testutil::SideConnection other(path);
            QVERIFY(other.exec(QStringLiteral("SELECT COUNT(*) FROM customers")));
            db.close();
            QCOMPARE(QFileInfo(path + QStringLiteral("-wal")).size(), 0);
        }

        const QString bare = dir.filePath(QStringLiteral("closelog-bare.db"));
        QVERIFY(QFile::copy(path, bare));
        QCOMPARE(valueFromFile(bare, QStringLiteral("SELECT name FROM customers WHERE id = 'c1'")).toString(),
                 QStringLiteral("王师傅"));
    }

    // A large write grows the log; once it has been checkpointed, the next write cuts it back.
    void logShrinksAfterALargeWrite()
    {
        const QString path = freshDatabase(QStringLiteral("biglog"));
        rawValue(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
                                "INSERT INTO sync_log (createdAt, summary) SELECT '', hex(randomblob(2000)) FROM n"));
        QVERIFY(QFileInfo(path + QStringLiteral("-wal")).size() > 8 * 1024 * 1024);
        db.logSync(QStringLiteral("qt-ui"), QStringLiteral("新增"), QStringLiteral("一行"));
        const qint64 after = QFileInfo(path + QStringLiteral("-wal")).size();
        QVERIFY2(after <= 4 * 1024 * 1024, qPrintable(QString::number(after)));
        QCOMPARE(valueFromFile(path, QStringLiteral("SELECT COUNT(*) FROM sync_log")).toInt(), 3001);
    }

    void setAsideCopiesAreListedButNeverRotated()
    {
        const QString path = freshDatabase(QStringLiteral("listing"));
        const QDir folder(backupFolder(path));
        QDir().mkpath(folder.path());
        const QString setAside = QStringLiteral("plindor-恢复前-20200105-093000.db");
        QStringList names{setAside, QStringLiteral("plindor-other.db"), QStringLiteral("notes.txt")};
        for (int day = 1; day <= 29; ++day)
            names << QStringLiteral("plindor-202001%1.db").arg(day, 2, 10, QLatin1Char('0'));
        for (const QString &name : names) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(name.size(), 'x'));
        }

        QVERIFY(!db.dailyBackup().isEmpty());
        QVERIFY(QFile::exists(folder.filePath(setAside)));
        QVERIFY(!QFile::exists(folder.filePath(QStringLiteral("plindor-20200101.db"))));
        QCOMPARE(folder.entryList({QStringLiteral("plindor-2*.db")}, QDir::Files).size(), 29);

        const QList<BackupInfo> listed = Database::listBackups(folder.path());
        QCOMPARE(listed.size(), 30);
        QCOMPARE(listed.at(0).fileName, todaysBackupName());
        QCOMPARE(listed.at(0).madeAt, QDateTime(QDate::currentDate(), QTime(0, 0)));
        QCOMPARE(listed.at(1).fileName, QStringLiteral("plindor-20200129.db"));
        QCOMPARE(listed.at(1).size, qint64(QStringLiteral("plindor-20200129.db").size()));
        QVERIFY(!listed.at(1).setAside);
        // Between the copies of the 5th and the 6th, by the moment it was made.
        QCOMPARE(listed.at(24).fileName, QStringLiteral("plindor-20200106.db"));
        QCOMPARE(listed.at(25).fileName, setAside);
        QVERIFY(listed.at(25).setAside);
        QCOMPARE(listed.at(25).madeAt, QDateTime(QDate(2020, 1, 5), QTime(9, 30)));
        QCOMPARE(listed.at(26).fileName, QStringLiteral("plindor-20200105.db"));
        QCOMPARE(listed.last().path, folder.absoluteFilePath(QStringLiteral("plindor-20200102.db")));
    }

    void backupIsReadWithoutTouchingIt()
    {
        const QString path = freshDatabase(QStringLiteral("inspect"));
        db.upsert(QStringLiteral("items"), {{"id", "a"}}, nullptr);
        db.upsert(QStringLiteral("items"), {{"id", "b"}}, nullptr);
        db.upsert(QStringLiteral("relations"), {{"id", "r"}}, nullptr);
        db.softDelete(QStringLiteral("items"), QStringLiteral("b"), nullptr);
        const QString backup = db.dailyBackup();
        QVERIFY(!backup.isEmpty());

        QJsonObject counts;
        QString error;
        QVERIFY2(Database::backupCounts(backup, &counts, &error), qPrintable(error));
        QCOMPARE(counts, (QJsonObject{{"items", 1}, {"transactions", 0}, {"categories", 0}, {"locations", 0},
                                      {"customers", 0}, {"relations", 1}}));
        QCOMPARE(Database::quickCheck(backup), QStringLiteral("ok"));
        QCOMPARE(QDir(backupFolder(path)).entryList(QDir::Files), QStringList{todaysBackupName()});

        const QString damaged = dir.filePath(QStringLiteral("inspect-damaged.db"));
        QVERIFY(testutil::damageCopy(backup, damaged));
        QVERIFY(Database::quickCheck(damaged) != QStringLiteral("ok"));
        QVERIFY(!Database::quickCheck(dir.filePath(QStringLiteral("none.db"))).isEmpty());
        QVERIFY(Database::quickCheck(dir.filePath(QStringLiteral("none.db"))) != QStringLiteral("ok"));
        QVERIFY(!Database::backupCounts(dir.filePath(QStringLiteral("none.db")), &counts, &error));
    }

    void restoreReplacesTheDatabaseAndSetsItAside()
    {
        const QString path = freshDatabase(QStringLiteral("restore"));
        for (const char *id : {"kept-1", "kept-2"})
            db.upsert(QStringLiteral("items"), {{"id", id}, {"name", "轴承"}}, nullptr);
        const QString backup = db.dailyBackup();
        QVERIFY(!backup.isEmpty());
        // Made after the backup: in the log only, not yet in the main file.
        db.upsert(QStringLiteral("items"), {{"id", "late"}, {"name", "新到"}}, nullptr);
        db.upsert(QStringLiteral("customers"), {{"id", "c-late"}}, nullptr);
        QVERIFY(QFileInfo(path + QStringLiteral("-wal")).size() > 0);

        QStringList stages;
        qint64 lastDone = -1;
        qint64 lastTotal = -1;
        const auto progress = [&](const QString &stage, qint64 done, qint64 total) {
            if (stages.isEmpty() || stages.last() != stage)
                stages << stage;
            lastDone = done;
            lastTotal = total;
            QVERIFY(done <= total);
        };
        QString aside;
        QString error;
        QVERIFY2(db.restoreFrom(backup, &aside, &error, progress), qPrintable(error));
        QCOMPARE(stages, (QStringList{"正在另存当前数据库…", "正在复制备份…", "正在检查备份…"}));
        QCOMPARE(lastDone, 0);
        QCOMPARE(lastTotal, 0);

        QVERIFY(db.isOpen());
        QCOMPARE(idsOf(db.rows(QStringLiteral("items"))), QStringList({"kept-1", "kept-2"}));
        QCOMPARE(db.rows(QStringLiteral("customers")).size(), 0);
        QCOMPARE(rawValue(QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
        QCOMPARE(rawValue(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
        QVERIFY(!QFile::exists(path + QStringLiteral(".restoring")));

        QCOMPARE(QFileInfo(aside).absolutePath(), QFileInfo(backup).absolutePath());
        QVERIFY(Database::isSetAsideCopy(QFileInfo(aside).fileName()));
        QVERIFY(QFileInfo(aside).fileName().contains(QRegularExpression(QStringLiteral("^plindor-恢复前-\\d{8}-\\d{6}\\.db$"))));
        QCOMPARE(valueFromFile(aside, QStringLiteral("SELECT group_concat(id) FROM (SELECT id FROM items ORDER BY id)")).toString(),
                 QStringLiteral("kept-1,kept-2,late"));
        QCOMPARE(valueFromFile(aside, QStringLiteral("SELECT COUNT(*) FROM customers")).toInt(), 1);
        QCOMPARE(Database::quickCheck(aside), QStringLiteral("ok"));

        // The restored database takes writes, and a merge, as any other.
        const MergeResult merged = db.merge({{"items", QJsonArray{QJsonObject{{"id", "after"}, {"updatedAt", "2026-01-01 00:00:00"}}}}});
        QCOMPARE(merged.perTable.value("items").toInt(), 1);
        QCOMPARE(db.rows(QStringLiteral("items")).size(), 3);
        QCOMPARE(valueFromFile(aside, QStringLiteral("SELECT COUNT(*) FROM items WHERE id = 'after'")).toInt(), 0);
    }

    // Every step of a restore lasts before the next relies on it: the copy set aside (flushed, renamed, its
    // folder flushed) before the database is touched, the removal of the old log before the restored copy
    // takes the file's name, and that name before the restore is reported.
    void restoreIsDurableStepByStep_data()
    {
        QTest::addColumn<bool>("logKept");
        QTest::newRow("log removed on closing") << false;
        // Another program that has read the file keeps SQLite from removing the log: the restore does.
        QTest::newRow("log kept by another program") << true;
    }

    void restoreIsDurableStepByStep()
    {
        QFETCH(bool, logKept);
        const QString path = freshDatabaseForRow(QStringLiteral("durable-restore"));
        db.upsert(QStringLiteral("items"), {{"id", "in-backup"}}, nullptr);
        const QString backup = db.dailyBackup();
        QVERIFY(!backup.isEmpty());
        db.upsert(QStringLiteral("items"), {{"id", "after-backup"}}, nullptr);
        std::optional<testutil::SideConnection> other;
        if (logKept) {
            other.emplace(path);
            QVERIFY(other->exec(QStringLiteral("SELECT COUNT(*) FROM items")));
        }

        testutil::FileSteps steps(QFileInfo(path).absolutePath());
        QString aside;
        QString error;
        QVERIFY2(db.restoreFrom(backup, &aside, &error), qPrintable(error));
        const QString asideName = QStringLiteral("备份/") + QFileInfo(aside).fileName();
        const QStringList removals = logKept ? QStringList{"remove plindor.db-wal", "remove plindor.db-shm"} : QStringList();
        QCOMPARE(steps.seen, QStringList({"flush file " + asideName + ".part", "rename " + asideName, "flush folder 备份",
                                          "flush file plindor.db.restoring"})
                                 + removals
                                 + QStringList({"flush folder .", "rename plindor.db", "flush folder ."}));
        QCOMPARE(idsOf(db.rows(QStringLiteral("items"))), QStringList{"in-backup"});
        QCOMPARE(valueFromFile(aside, QStringLiteral("SELECT COUNT(*) FROM items")).toInt(), 2);
        // The other program's connection still refers to the file set aside; it goes after the program's own.
        db.close();
        other.reset();
    }

    void restoreDropsALogLeftByACrash()
    {
        // A program that died with rows in its log: the files as the crash left them.
        const QString live = freshDatabase(QStringLiteral("crash-source"));
        db.upsert(QStringLiteral("items"), {{"id", "in-backup"}}, nullptr);
        const QString backup = db.dailyBackup();
        QVERIFY(!backup.isEmpty());
        for (int i = 0; i < 50; ++i)
            db.upsert(QStringLiteral("items"), {{"id", QStringLiteral("ghost-%1").arg(i)}}, nullptr);
        const QString crashed = dir.filePath(QStringLiteral("crashed/data/plindor.db"));
        QDir().mkpath(QFileInfo(crashed).absolutePath());
        for (const QString &suffix : {QString(), QStringLiteral("-wal")})
            QVERIFY(QFile::copy(live + suffix, crashed + suffix));
        QVERIFY(QFileInfo(crashed + QStringLiteral("-wal")).size() > 0);
        db.close();

        QString error;
        QVERIFY2(db.open(crashed, &error), qPrintable(error));
        QCOMPARE(db.rows(QStringLiteral("items")).size(), 51);
        QString aside;
        QVERIFY2(db.restoreFrom(backup, &aside, &error), qPrintable(error));
        QCOMPARE(idsOf(db.rows(QStringLiteral("items"))), QStringList{"in-backup"});
        QCOMPARE(valueFromFile(aside, QStringLiteral("SELECT COUNT(*) FROM items")).toInt(), 51);

        // And so it stays on the next start.
        db.close();
        QVERIFY(!QFile::exists(crashed + QStringLiteral("-wal")));
        QVERIFY2(db.open(crashed, &error), qPrintable(error));
        QCOMPARE(idsOf(db.rows(QStringLiteral("items"))), QStringList{"in-backup"});
        QCOMPARE(rawValue(QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
    }

    // A database that fails its check at start-up is the usual reason to restore: it is replaced all the
    // same, and set aside byte for byte.
    void restoreOverAnUnusableDatabase_data()
    {
        QTest::addColumn<bool>("damaged");
        QTest::newRow("damaged pages") << true;
        QTest::newRow("not a database") << false;
    }

    void restoreOverAnUnusableDatabase()
    {
        QFETCH(bool, damaged);
        const QString path = freshDatabase(QStringLiteral("unusable-%1").arg(QTest::currentDataTag()));
        db.upsert(QStringLiteral("items"), {{"id", "in-backup"}}, nullptr);
        const QString backup = db.dailyBackup();
        QVERIFY(!backup.isEmpty());
        db.close();
        QVERIFY(QFile::remove(path));
        if (damaged) {
            QVERIFY(testutil::damageCopy(backup, path));
        } else {
            QFile text(path);
            QVERIFY(text.open(QIODevice::WriteOnly));
            text.write(QByteArray("货架清单\n").repeated(2000));
        }
        QString error;
        QVERIFY(!db.open(path, &error));
        QVERIFY(!db.unusableReason().isEmpty());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();
        QString aside;
        QVERIFY2(db.restoreFrom(backup, &aside, &error), qPrintable(error));
        QVERIFY2(db.unusableReason().isEmpty(), qPrintable(db.unusableReason()));
        QCOMPARE(idsOf(db.rows(QStringLiteral("items"))), QStringList{"in-backup"});
        QCOMPARE(rawValue(QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
        QFile setAside(aside);
        QVERIFY(setAside.open(QIODevice::ReadOnly));
        QCOMPARE(setAside.readAll(), before);
    }

    void failedRestoreLeavesTheDatabaseAsItWas_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("damaged copy") << "damaged" << "所选备份已损坏或不是主库备份";
        QTest::newRow("not a database") << "text" << "所选备份已损坏或不是主库备份";
        QTest::newRow("another program's database") << "foreign" << "读不出物品";
        QTest::newRow("no room for the copy beside the database") << "occupied" << "复制备份失败";
        QTest::newRow("backup folder unusable") << "nofolder" << "另存当前数据库失败";
        QTest::newRow("missing copy") << "missing" << "找不到备份文件";
        QTest::newRow("another connection reading") << "reader" << "当前数据库正被使用";
    }

    void failedRestoreLeavesTheDatabaseAsItWas()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        const QString path = freshDatabase(QStringLiteral("fail-") + fault);
        for (int i = 0; i < 300; ++i)
            db.upsert(QStringLiteral("items"), {{"id", QStringLiteral("old-%1").arg(i)}, {"name", QString(80, u'件')}}, nullptr);
        const QString good = db.dailyBackup();
        QVERIFY(!good.isEmpty());
        db.upsert(QStringLiteral("items"), {{"id", "newest"}}, nullptr);
        QVERIFY(db.saveVersion(QStringLiteral("存档"), QStringLiteral("qt")));

        QString chosen = dir.filePath(QStringLiteral("chosen-%1.db").arg(fault));
        if (fault == QLatin1String("damaged")) {
            QVERIFY(testutil::damageCopy(good, chosen));
        } else if (fault == QLatin1String("text")) {
            QFile file(chosen);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(20000, 'x'));
        } else if (fault == QLatin1String("foreign")) {
            QVERIFY(testutil::execOnFile(chosen, QStringLiteral("CREATE TABLE notes (text TEXT)")));
        } else if (fault == QLatin1String("occupied") || fault == QLatin1String("reader")) {
            chosen = good;
            if (fault == QLatin1String("occupied"))
                QVERIFY(QDir().mkpath(path + QStringLiteral(".restoring/inside")));
        } else if (fault == QLatin1String("nofolder")) {
            QVERIFY(QFile::copy(good, chosen));
            QVERIFY(QDir(backupFolder(path)).removeRecursively());
            QFile blocker(backupFolder(path));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        // A reader in the middle of its reading keeps the log from being written into the file.
        std::optional<testutil::SideConnection> holder(std::in_place, path);
        QVERIFY(holder->database().isOpen());
        QSqlQuery reading(holder->database());
        if (fault == QLatin1String("reader"))
            QVERIFY(reading.exec(QStringLiteral("SELECT id FROM items")) && reading.next());
        const QJsonArray before = db.rows(QStringLiteral("items"));
        const int versionsBefore = versionCount();
        const QStringList backupsBefore = QDir(backupFolder(path)).entryList(QDir::Files);

        QString aside = QStringLiteral("untouched");
        QString error;
        QVERIFY(!db.restoreFrom(chosen, &aside, &error));
        QVERIFY2(error.contains(reason), qPrintable(error));
        QCOMPARE(aside, QStringLiteral("untouched"));

        QVERIFY(db.isOpen());
        QCOMPARE(db.rows(QStringLiteral("items")), before);
        QCOMPARE(versionCount(), versionsBefore);
        QCOMPARE(rawValue(QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
        QCOMPARE(QDir(backupFolder(path)).entryList(QDir::Files), backupsBefore);
        QVERIFY(!QFileInfo(path + QStringLiteral(".restoring")).isFile());
        // Still the database the program writes to.
        QVERIFY(!db.upsert(QStringLiteral("items"), {{"id", "after-failure"}}, nullptr).isEmpty());
        reading = QSqlQuery();
        holder.reset();
        db.close();
        QCOMPARE(valueFromFile(path, QStringLiteral("SELECT COUNT(*) FROM items")).toInt(), 302);
    }

    void pathOfWalksLiveAncestors_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("path");

        QStringList fifty;
        for (int i = 0; i < 50; ++i)
            fifty << QStringLiteral("自环");
        QStringList loop;
        for (int i = 0; i < 25; ++i)
            loop << QStringLiteral("乙") << QStringLiteral("甲");

        QTest::newRow("root") << "categories" << "a" << "A";
        QTest::newRow("child") << "categories" << "b" << "A > B";
        QTest::newRow("grandchild") << "categories" << "c" << "A > B > C";
        QTest::newRow("parent missing") << "categories" << "orphan" << "孤";
        QTest::newRow("parent soft-deleted") << "categories" << "under-gone" << "子";
        QTest::newRow("soft-deleted node") << "categories" << "gone" << "";
        QTest::newRow("unknown id") << "categories" << "nope" << "";
        QTest::newRow("empty id") << "categories" << "" << "";
        QTest::newRow("self parent") << "categories" << "self" << fifty.join(" > ");
        QTest::newRow("two-node loop") << "categories" << "x" << loop.join(" > ");
        QTest::newRow("location") << "locations" << "shelf" << "仓库 > 货架";
        QTest::newRow("other table") << "items" << "a" << "";
        QTest::newRow("wrong case") << "Categories" << "a" << "";
    }

    void pathOfWalksLiveAncestors()
    {
        QFETCH(QString, table);
        QFETCH(QString, id);
        QFETCH(QString, path);
        freshDatabaseForRow(QStringLiteral("paths"));
        const QList<QJsonObject> categories = {
            {{"id", "a"}, {"name", "A"}},
            {{"id", "b"}, {"name", "B"}, {"parentId", "a"}},
            {{"id", "c"}, {"name", "C"}, {"parentId", "b"}},
            {{"id", "orphan"}, {"name", "孤"}, {"parentId", "nowhere"}},
            {{"id", "gone"}, {"name", "删"}},
            {{"id", "under-gone"}, {"name", "子"}, {"parentId", "gone"}},
            {{"id", "self"}, {"name", "自环"}, {"parentId", "self"}},
            {{"id", "x"}, {"name", "甲"}, {"parentId", "y"}},
            {{"id", "y"}, {"name", "乙"}, {"parentId", "x"}},
        };
        for (const QJsonObject &row : categories)
            QVERIFY(!db.upsert(QStringLiteral("categories"), row, nullptr).isEmpty());
        db.softDelete(QStringLiteral("categories"), QStringLiteral("gone"), nullptr);
        db.upsert(QStringLiteral("locations"), {{"id", "store"}, {"name", "仓库"}}, nullptr);
        db.upsert(QStringLiteral("locations"), {{"id", "shelf"}, {"name", "货架"}, {"parentId", "store"}}, nullptr);
        db.upsert(QStringLiteral("items"), {{"id", "a"}, {"name", "物品"}}, nullptr);
        QCOMPARE(db.pathOf(table, id), path);
    }

    void displayValueFallbacks_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("shown");

        QTest::newRow("category path") << "categoryId" << "kid" << "电子 > 电阻";
        QTest::newRow("deleted category name") << "categoryId" << "gone" << "旧分类";
        QTest::newRow("unknown category") << "categoryId" << "nope" << "nope";
        QTest::newRow("location path") << "locationId" << "shelf" << "仓库 > 货架";
        QTest::newRow("unknown location") << "locationId" << "kid" << "kid";
        QTest::newRow("item with barcode") << "itemId" << "i1" << "电阻（690123）";
        QTest::newRow("item without barcode") << "relatedItemId" << "i2" << "电容";
        QTest::newRow("item without name") << "itemId" << "i3" << "";
        QTest::newRow("unknown item") << "relatedItemId" << "nope" << "nope";
        QTest::newRow("customer") << "customerId" << "c1" << "王师傅";
        QTest::newRow("unknown customer") << "customerId" << "c9" << "c9";
        QTest::newRow("parent category") << "parentId" << "root" << "电子（分类）";
        QTest::newRow("parent location") << "parentId" << "store" << "仓库（存放处）";
        QTest::newRow("parent in both") << "parentId" << "both" << "同名分类（分类）";
        QTest::newRow("unknown parent") << "parentId" << "nope" << "nope";
        QTest::newRow("plain column") << "name" << "kid" << "kid";
        QTest::newRow("empty value") << "categoryId" << "" << "";
        QTest::newRow("empty plain value") << "name" << "" << "";
        QTest::newRow("wrong case column") << "CategoryId" << "kid" << "kid";
    }

    void displayValueFallbacks()
    {
        QFETCH(QString, column);
        QFETCH(QString, value);
        QFETCH(QString, shown);
        freshDatabaseForRow(QStringLiteral("display"));
        db.upsert(QStringLiteral("categories"), {{"id", "root"}, {"name", "电子"}}, nullptr);
        db.upsert(QStringLiteral("categories"), {{"id", "kid"}, {"name", "电阻"}, {"parentId", "root"}}, nullptr);
        db.upsert(QStringLiteral("categories"), {{"id", "gone"}, {"name", "旧分类"}}, nullptr);
        db.softDelete(QStringLiteral("categories"), QStringLiteral("gone"), nullptr);
        db.upsert(QStringLiteral("categories"), {{"id", "both"}, {"name", "同名分类"}}, nullptr);
        db.upsert(QStringLiteral("locations"), {{"id", "store"}, {"name", "仓库"}}, nullptr);
        db.upsert(QStringLiteral("locations"), {{"id", "shelf"}, {"name", "货架"}, {"parentId", "store"}}, nullptr);
        db.upsert(QStringLiteral("locations"), {{"id", "both"}, {"name", "同名存放处"}}, nullptr);
        db.upsert(QStringLiteral("items"), {{"id", "i1"}, {"name", "电阻"}, {"barcode", "690123"}}, nullptr);
        db.upsert(QStringLiteral("items"), {{"id", "i2"}, {"name", "电容"}}, nullptr);
        db.upsert(QStringLiteral("items"), {{"id", "i3"}, {"barcode", ""}}, nullptr);
        db.upsert(QStringLiteral("customers"), {{"id", "c1"}, {"name", "王师傅"}}, nullptr);
        QCOMPARE(db.displayValue(column, value), shown);
    }

    void idNameListsAndTextLookups()
    {
        freshDatabase(QStringLiteral("idname"));
        db.upsert(QStringLiteral("customers"), {{"id", "c2"}, {"name", "乙"}}, nullptr);
        db.upsert(QStringLiteral("customers"), {{"id", "c1"}, {"name", "甲"}}, nullptr);
        db.upsert(QStringLiteral("customers"), {{"id", "c3"}, {"name", "丙"}}, nullptr);
        db.softDelete(QStringLiteral("customers"), QStringLiteral("c3"), nullptr);
        rawValue(QStringLiteral("UPDATE customers SET name = NULL WHERE id = 'c2'"));

        const QList<IdName> list = db.queryIdName(QStringLiteral("SELECT id, name FROM customers WHERE deleted=0 ORDER BY id"));
        QCOMPARE(list.size(), 2);
        QCOMPARE(list[0].id, QStringLiteral("c1"));
        QCOMPARE(list[0].name, QStringLiteral("甲"));
        QCOMPARE(list[1].id, QStringLiteral("c2"));
        QCOMPARE(list[1].name, QString());

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^queryIdName failed:.*no such table.*")));
        QVERIFY(db.queryIdName(QStringLiteral("SELECT id, name FROM nowhere")).isEmpty());

        QCOMPARE(db.lookupText(QStringLiteral("SELECT name FROM customers WHERE id = ?"), QStringLiteral("c1")),
                 QStringLiteral("甲"));
        QCOMPARE(db.lookupText(QStringLiteral("SELECT name FROM customers WHERE id = ?"), QStringLiteral("none")), QString());
        QCOMPARE(db.lookupText(QStringLiteral("SELECT name FROM nowhere WHERE id = ?"), QStringLiteral("c1")), QString());
    }

    void newOperationsFailQuietlyAfterClose()
    {
        freshDatabase(QStringLiteral("closed-new"));
        db.upsert(QStringLiteral("categories"), {{"id", "k"}, {"name", "分类"}}, nullptr);
        QVERIFY(db.saveVersion(QStringLiteral("存档"), QStringLiteral("qt")));
        db.close();
        QTest::failOnWarning(QRegularExpression(QStringLiteral("^queryIdName failed:")));
        QVERIFY(db.queryIdName(QStringLiteral("SELECT id, name FROM categories")).isEmpty());
        QVERIFY(db.listVersions(200).isEmpty());
        QVERIFY(!db.rollbackTo(1, QStringLiteral("qt-ui")));
        QVERIFY(db.recentSyncLog(100).isEmpty());
        QCOMPARE(db.clearSyncLog(), 0);
        QCOMPARE(db.pathOf(QStringLiteral("categories"), QStringLiteral("k")), QString());
        QCOMPARE(db.displayValue(QStringLiteral("categoryId"), QStringLiteral("k")), QStringLiteral("k"));
        const MergeResult result = db.merge({{"customers", QJsonArray{QJsonObject{{"id", "c"}}}}});
        QCOMPARE(result.error, QStringLiteral("数据库未打开"));
        QVERIFY(result.perTable.isEmpty());
    }
};

QTEST_GUILESS_MAIN(StorageTest)
#include "tst_storage.moc"
