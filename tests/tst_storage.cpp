#include "catalogue/catalogue.h"
#include "storage/database.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

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

    // Reads a column through a separate connection, so that the test sees what is really in the file.
    QVariant rawValue(const QString &sql)
    {
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("plindor")));
        if (!query.exec(sql) || !query.next())
            return QVariant(QStringLiteral("<no row>"));
        return query.value(0);
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
        const QString path = freshDatabase(QStringLiteral("first"));
        QVERIFY(QFile::exists(path));
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
        {
            QSqlDatabase old = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old"));
            old.setDatabaseName(path);
            QVERIFY(old.open());
            QSqlQuery(old).exec(QStringLiteral("CREATE TABLE items (id TEXT PRIMARY KEY, barcode TEXT, name TEXT, "
                                               "categoryId TEXT, locationId TEXT, quantity REAL DEFAULT 0, unitPrice REAL "
                                               "DEFAULT 0, shortcode TEXT, pinyin TEXT, imagePath TEXT, createdAt TEXT, "
                                               "updatedAt TEXT, categoryPath TEXT, locationPath TEXT, serverUpdatedAt "
                                               "TEXT, deleted INTEGER DEFAULT 0)"));
            old.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("old"));
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
};

QTEST_GUILESS_MAIN(StorageTest)
#include "tst_storage.moc"
