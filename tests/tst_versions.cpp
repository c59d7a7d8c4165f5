#include "storage/database.h"
#include "storagetestcase.h"
#include "testmain.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

// The version history and the rollback to a version.
class VersionsTest : public StorageTestCase
{
    Q_OBJECT

private Q_SLOTS:
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
                  {{"id", "i1"},
                   {"name", "旧名"},
                   {"barcode", "690"},
                   {"createdAt", "2024-01-01 08:00:00"},
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
        db.upsert(QStringLiteral("items"), {{"id", "i2"}, {"name", "后来的"}, {"createdAt", "2025-01-01 00:00:00"}},
                  nullptr);
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
};

TOVANIK_TEST_GUILESS_MAIN(VersionsTest)
#include "tst_versions.moc"
