#include "catalogue/catalogue.h"
#include "storage/database.h"
#include "storage/rowsmemo.h"
#include "storage/rowtable.h"
#include "storage/snapshotreader.h"
#include "storage/snapshottext.h"
#include "storagetestcase.h"
#include "testmain.h"
#include "teststorage.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <limits>

// The connection, the schema, the records and their readings, the snapshot and the sync log.
class StorageTest : public StorageTestCase
{
    Q_OBJECT

private:
    // Every value of every Record with its JSON type and its exact form, in row order.
    static QStringList described(const QJsonArray &rows)
    {
        QStringList lines;
        for (const QJsonValue &row : rows) {
            const QJsonObject record = row.toObject();
            for (auto it = record.begin(); it != record.end(); ++it) {
                const QVariant value = it.value().toVariant();
                const QString exact =
                    value.typeId() == QMetaType::Double ? QString::number(value.toDouble(), 'g', 17) : value.toString();
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
        QTest::newRow("null") << "NULL"
                              << "NULL";
        QTest::newRow("empty text in a real column") << "''"
                                                     << "''";
        QTest::newRow("whole number in a real column") << "3"
                                                       << "3";
        QTest::newRow("reals") << "12.5"
                               << "-0.0";
        QTest::newRow("large integers") << "9007199254740993"
                                        << "9223372036854775807";
        QTest::newRow("smallest integer") << "-1e300"
                                          << "-9223372036854775808";
        QTest::newRow("overflowing real") << "9e999"
                                          << "-9e999";
        QTest::newRow("text like a number") << "'abc'"
                                            << "'00123'";
        QTest::newRow("chinese text") << "'三个'"
                                      << "'零件 测试'";
        QTest::newRow("quotes and controls") << "'a\"b'"
                                             << "'x\\y' || char(10) || char(0) || 'z'";
        QTest::newRow("blob of utf-8") << "X'E99BB6'"
                                       << "X'41E99BB642'";
        QTest::newRow("blob not utf-8") << "X'FF'"
                                        << "X'C3FF00FE'";
        QTest::newRow("text not utf-8") << "CAST(X'C328' AS TEXT)"
                                        << "CAST(X'E9FF' AS TEXT)";
    }

    // Two live rows holding the values of a row of addStoredValueRows() in a column of each kind, and
    // one deleted row, in a column without a declared type added as a table from another version has it.
    static void insertStoredValues(const QString &quantity, const QString &extra)
    {
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("plindor")));
        QVERIFY(query.exec(QStringLiteral("ALTER TABLE items ADD COLUMN extra")));
        QVERIFY2(query.exec(QStringLiteral("INSERT INTO items (id, name, quantity, unitPrice, extra, deleted) "
                                           "VALUES ('a', '零件', %1, 0.1, %2, 0), ('b', NULL, 2, %2, %1, 0), "
                                           "('gone', 'x', 1, 1, 1, 1)")
                                .arg(quantity, extra)),
                 qPrintable(query.lastError().text()));
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
        QVERIFY(query.exec(QStringLiteral(
            "SELECT name FROM sqlite_master WHERE type='table' AND name != 'sqlite_sequence' ORDER BY name")));
        QStringList names;
        while (query.next())
            names << query.value(0).toString();
        QCOMPARE(names, QStringList({"categories", "customers", "items", "locations", "relations", "sync_log",
                                     "transactions", "version_sizes", "versions"}));
        QCOMPARE(rawValue(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
        const QJsonObject counts = db.counts();
        QCOMPARE(counts.size(), 6);
        for (const TableInfo &table : tables())
            QCOMPARE(counts.value(table.key).toInt(-1), 0);
    }

    // The tables are created as the program has always created them: every column with its type, its
    // default and its key, in its place. The statements below are those files were first made with.
    void tablesHaveTheirColumnsTypesAndDefaults()
    {
        const QString path = freshDatabase(QStringLiteral("columns"));
        const QString earlier = dir.filePath(QStringLiteral("columns-earlier.db"));
        const QStringList statements{
            "CREATE TABLE items (id TEXT PRIMARY KEY, barcode TEXT, name TEXT, categoryId TEXT, locationId TEXT,"
            "quantity REAL DEFAULT 0, unitPrice REAL DEFAULT 0, expectedOutPrice REAL DEFAULT 0,shortcode TEXT, "
            "pinyin TEXT, imagePath TEXT,createdAt TEXT, updatedAt TEXT, categoryPath TEXT, locationPath TEXT,"
            "serverUpdatedAt TEXT, deleted INTEGER DEFAULT 0)",
            "CREATE TABLE transactions (id TEXT PRIMARY KEY, itemId TEXT, type TEXT, quantity REAL DEFAULT 0, "
            "unitPrice REAL DEFAULT 0,operatorId TEXT, paymentMethod TEXT, customerId TEXT, status TEXT,createdAt TEXT, "
            "itemName TEXT, customerName TEXT,serverUpdatedAt TEXT, deleted INTEGER DEFAULT 0)",
            "CREATE TABLE categories (id TEXT PRIMARY KEY, name TEXT, parentId TEXT, createdAt TEXT, fullPath TEXT,"
            "serverUpdatedAt TEXT, deleted INTEGER DEFAULT 0)",
            "CREATE TABLE locations (id TEXT PRIMARY KEY, name TEXT, description TEXT, parentId TEXT, createdAt TEXT, "
            "fullPath TEXT,serverUpdatedAt TEXT, deleted INTEGER DEFAULT 0)",
            "CREATE TABLE customers (id TEXT PRIMARY KEY, name TEXT, phone TEXT, address TEXT, createdAt TEXT,"
            "serverUpdatedAt TEXT, deleted INTEGER DEFAULT 0)",
            "CREATE TABLE relations (id TEXT PRIMARY KEY, itemId TEXT, relatedItemId TEXT, quantity REAL DEFAULT 1, "
            "createdAt TEXT,serverUpdatedAt TEXT, deleted INTEGER DEFAULT 0)",
            "CREATE TABLE versions (id INTEGER PRIMARY KEY AUTOINCREMENT, createdAt TEXT NOT NULL, reason TEXT, "
            "source TEXT,counts TEXT, snapshot TEXT NOT NULL)",
            "CREATE TABLE sync_log (id INTEGER PRIMARY KEY AUTOINCREMENT, createdAt TEXT NOT NULL, peer TEXT,"
            "direction TEXT, summary TEXT)",
        };
        for (const QString &statement : statements)
            QVERIFY(testutil::execOnFile(earlier, statement));
        const QString columns = QStringLiteral(
            "SELECT group_concat(name || ' ' || type || ' ' || \"notnull\" || ' ' || ifnull(dflt_value, '-') || ' ' || pk, ', ') "
            "FROM pragma_table_info('%1')");
        for (const char *table :
             {"items", "transactions", "categories", "locations", "customers", "relations", "versions", "sync_log"}) {
            const QString expected = valueFromFile(earlier, columns.arg(table)).toString();
            QVERIFY2(expected.startsWith(QStringLiteral("id ")), qPrintable(expected));
            QCOMPARE(valueFromFile(path, columns.arg(table)).toString(), expected);
        }
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
        QVERIFY(testutil::execOnFile(
            path,
            QStringLiteral(
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
        QTest::newRow("-2^63") << QJsonValue(-9223372036854775808.0) << QVariant(std::numeric_limits<qint64>::min());
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
        insertStoredValues(quantity, extra);
        if (QTest::currentTestFailed())
            return;

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
        insertStoredValues(quantity, extra);
        if (QTest::currentTestFailed())
            return;

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
        freshDatabase(
            QStringLiteral("memo-%1").arg(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-')));
        if (direct) {
#ifdef TOVANIK_HAVE_SQLITE3
            QVERIFY(db.readsDirectly());
#else
            QSKIP("built without the direct SQLite reader: rows() reads through QSqlQuery, the other data row");
#endif
        }
        for (int i = 0; i < 5; ++i)
            QVERIFY(!db.upsert(QStringLiteral("items"),
                               {{"id", QStringLiteral("i%1").arg(i)}, {"name", "n"}, {"quantity", i}}, nullptr)
                         .isEmpty());

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

        QCOMPARE(described(read(QStringLiteral("customers"))),
                 described(db.rowsThroughQuery(QStringLiteral("customers"))));
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
        QVERIFY(
            !db.upsert(QStringLiteral("relations"),
                       {{"id", "v"}, {"itemId", QJsonValue::Null}, {"relatedItemId", QJsonArray{1}}, {"quantity", 2.5}},
                       nullptr)
                 .isEmpty());
        QCOMPARE(
            rawValue(QStringLiteral("SELECT typeof(itemId) || '/' || typeof(relatedItemId) || '/' || typeof(quantity) "
                                    "|| '/' || typeof(createdAt) FROM relations"))
                .toString(),
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
        db.upsert(
            QStringLiteral("items"),
            {{"id", "i1"}, {"name", "旧"}, {"createdAt", "2020-01-01 00:00:00"}, {"updatedAt", "2020-01-02 00:00:00"}},
            &error);
        QVERIFY(db.updateRecord(
            QStringLiteral("items"), QStringLiteral("i1"),
            {{"name", "新"}, {"updatedAt", "1999-01-01 00:00:00"}, {"createdAt", "1999-01-01 00:00:00"}}, &error));
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
        QTest::newRow("quotes and backslashes") << "items"
                                                << "name" << QVariant(QStringLiteral("他说\"好\"\\路径\\"));
        QTest::newRow("control characters") << "items"
                                            << "name"
                                            << QVariant(QStringLiteral("a\x01"
                                                                       "b\tc\nd\re\bf\x1f\x7fg"));
        QTest::newRow("chinese") << "customers"
                                 << "address" << QVariant(QStringLiteral("工业路 12 号 螺丝×8"));
        QTest::newRow("emoji") << "locations"
                               << "description" << QVariant(QStringLiteral("📦🔩 A\u2028B"));
        QTest::newRow("NULL text") << "customers"
                                   << "phone" << QVariant(QMetaType::fromType<QString>());
        QTest::newRow("NULL real") << "items"
                                   << "quantity" << QVariant(QMetaType::fromType<double>());
        QTest::newRow("empty text in real") << "items"
                                            << "unitPrice" << QVariant(QString(""));
        QTest::newRow("text in real") << "relations"
                                      << "quantity" << QVariant(QStringLiteral("很多"));
        QTest::newRow("large integer") << "items"
                                       << "quantity" << QVariant(qint64(9007199254740993LL));
        QTest::newRow("0.1") << "transactions"
                             << "unitPrice" << QVariant(0.1);
        QTest::newRow("1e-7") << "items"
                              << "expectedOutPrice" << QVariant(1e-7);
        QTest::newRow("negative zero") << "items"
                                       << "quantity" << QVariant(-0.0);
        QTest::newRow("huge real") << "items"
                                   << "quantity" << QVariant(1.5e300);
        QTest::newRow("number in text column") << "items"
                                               << "barcode" << QVariant(6901234567890LL);
        QTest::newRow("blob in text column") << "categories"
                                             << "name" << QVariant(QByteArray("螺丝"));
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
        QTest::newRow("document") << QByteArray(
            "{\"app\":\"plindor\",\"items\":[{\"id\":\"a\",\"name\":\"螺丝\"},{\"id\":\"b\"}],\"customers\":[]}");
        QTest::newRow("blanks everywhere")
            << QByteArray(" \r\n\t{ \"items\" : [ {\"id\" : \"a\"} , {\"id\":\"b\"} ] , \"x\" : 1 } \n");
        QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF{\"items\":[{\"id\":\"a\"}]}");
        QTest::newRow("escaped key") << QByteArray("{\"item\\u0073\":[{\"id\":\"a\"}]}");
        QTest::newRow("raw byte order mark in a key")
            << QByteArray("{\"\xEF\xBB\xBFitems\":[{\"id\":\"a\"}],\"customers\":[{\"id\":\"c\"}]}");
        QTest::newRow("raw byte order mark beside the key")
            << QByteArray("{\"items\":[{\"id\":\"a\"}],\"\xEF\xBB\xBFitems\":5}");
        QTest::newRow("escaped key replaces plain")
            << QByteArray("{\"items\":[{\"id\":\"a\"}],\"item\\u0073\":[{\"id\":\"b\"}]}");
        QTest::newRow("later key wins") << QByteArray(
            "{\"items\":[{\"id\":\"a\"}],\"items\":[{\"id\":\"b\"},{\"id\":\"c\"}]}");
        QTest::newRow("later scalar wins") << QByteArray("{\"items\":[{\"id\":\"a\"}],\"items\":5}");
        QTest::newRow("later array wins") << QByteArray("{\"items\":\"x\",\"items\":[{\"id\":\"a\"}]}");
        QTest::newRow("elements of every kind")
            << QByteArray("{\"items\":[1,\"s\",null,true,[{\"id\":\"x\"}],{\"id\":\"a\"},{}]}");
        QTest::newRow("brackets in strings")
            << QByteArray("{\"items\":[{\"id\":\"]}\\\"[{\",\"n\":\"\\\\\"}],\"k]\":\"{\"}");
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
            db.upsert("items",
                      {{"id", QStringLiteral("i%1").arg(i)}, {"name", QStringLiteral("螺丝 %1 ").arg(i).repeated(10)}},
                      nullptr);
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

    void syncLogListsAndClears()
    {
        freshDatabase(QStringLiteral("synclog"));
        QCOMPARE(db.clearSyncLog(), 0);
        for (int i = 1; i <= 150; ++i)
            db.logSync(QStringLiteral("192.168.1.%1").arg(i), QStringLiteral("推送"),
                       QStringLiteral("第 %1 次").arg(i));
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

TOVANIK_TEST_GUILESS_MAIN(StorageTest)
#include "tst_storage.moc"
