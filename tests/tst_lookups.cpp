#include "storage/database.h"
#include "storagetestcase.h"
#include "testmain.h"

#include <QRegularExpression>
#include <QtTest>

// Names, paths and choice lists for showing and choosing references.
class LookupsTest : public StorageTestCase
{
    Q_OBJECT

private Q_SLOTS:
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

        QTest::newRow("root") << "categories"
                              << "a"
                              << "A";
        QTest::newRow("child") << "categories"
                               << "b"
                               << "A > B";
        QTest::newRow("grandchild") << "categories"
                                    << "c"
                                    << "A > B > C";
        QTest::newRow("parent missing") << "categories"
                                        << "orphan"
                                        << "孤";
        QTest::newRow("parent soft-deleted") << "categories"
                                             << "under-gone"
                                             << "子";
        QTest::newRow("soft-deleted node") << "categories"
                                           << "gone"
                                           << "";
        QTest::newRow("unknown id") << "categories"
                                    << "nope"
                                    << "";
        QTest::newRow("empty id") << "categories"
                                  << ""
                                  << "";
        QTest::newRow("self parent") << "categories"
                                     << "self" << fifty.join(" > ");
        QTest::newRow("two-node loop") << "categories"
                                       << "x" << loop.join(" > ");
        QTest::newRow("location") << "locations"
                                  << "shelf"
                                  << "仓库 > 货架";
        QTest::newRow("other table") << "items"
                                     << "a"
                                     << "";
        QTest::newRow("wrong case") << "Categories"
                                    << "a"
                                    << "";
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

        QTest::newRow("category path") << "categoryId"
                                       << "kid"
                                       << "电子 > 电阻";
        QTest::newRow("deleted category name") << "categoryId"
                                               << "gone"
                                               << "旧分类";
        QTest::newRow("unknown category") << "categoryId"
                                          << "nope"
                                          << "nope";
        QTest::newRow("location path") << "locationId"
                                       << "shelf"
                                       << "仓库 > 货架";
        QTest::newRow("unknown location") << "locationId"
                                          << "kid"
                                          << "kid";
        QTest::newRow("item with barcode") << "itemId"
                                           << "i1"
                                           << "电阻（690123）";
        QTest::newRow("item without barcode") << "relatedItemId"
                                              << "i2"
                                              << "电容";
        QTest::newRow("item without name") << "itemId"
                                           << "i3"
                                           << "";
        QTest::newRow("unknown item") << "relatedItemId"
                                      << "nope"
                                      << "nope";
        QTest::newRow("customer") << "customerId"
                                  << "c1"
                                  << "王师傅";
        QTest::newRow("unknown customer") << "customerId"
                                          << "c9"
                                          << "c9";
        QTest::newRow("parent category") << "parentId"
                                         << "root"
                                         << "电子（分类）";
        QTest::newRow("parent location") << "parentId"
                                         << "store"
                                         << "仓库（存放处）";
        QTest::newRow("parent in both") << "parentId"
                                        << "both"
                                        << "同名分类（分类）";
        QTest::newRow("unknown parent") << "parentId"
                                        << "nope"
                                        << "nope";
        QTest::newRow("plain column") << "name"
                                      << "kid"
                                      << "kid";
        QTest::newRow("empty value") << "categoryId"
                                     << ""
                                     << "";
        QTest::newRow("empty plain value") << "name"
                                           << ""
                                           << "";
        QTest::newRow("wrong case column") << "CategoryId"
                                           << "kid"
                                           << "kid";
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

        const QList<IdName> list =
            db.queryIdName(QStringLiteral("SELECT id, name FROM customers WHERE deleted=0 ORDER BY id"));
        QCOMPARE(list.size(), 2);
        QCOMPARE(list[0].id, QStringLiteral("c1"));
        QCOMPARE(list[0].name, QStringLiteral("甲"));
        QCOMPARE(list[1].id, QStringLiteral("c2"));
        QCOMPARE(list[1].name, QString());

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^queryIdName failed:.*no such table.*")));
        QVERIFY(db.queryIdName(QStringLiteral("SELECT id, name FROM nowhere")).isEmpty());

        QCOMPARE(db.lookupText(QStringLiteral("SELECT name FROM customers WHERE id = ?"), QStringLiteral("c1")),
                 QStringLiteral("甲"));
        QCOMPARE(db.lookupText(QStringLiteral("SELECT name FROM customers WHERE id = ?"), QStringLiteral("none")),
                 QString());
        QCOMPARE(db.lookupText(QStringLiteral("SELECT name FROM nowhere WHERE id = ?"), QStringLiteral("c1")),
                 QString());
    }

    // The row editor's choices: live rows only, sorted by name as SQLite sorts text (a missing name first),
    // an item with its barcode, and without a name at all where its barcode is missing.
    void choicesOfItemsAndCustomers()
    {
        freshDatabase(QStringLiteral("choices"));
        db.upsert(QStringLiteral("items"), {{"id", "i1"}, {"name", "螺丝"}, {"barcode", "690"}}, nullptr);
        db.upsert(QStringLiteral("items"), {{"id", "i2"}, {"name", "Bolt"}, {"barcode", ""}}, nullptr);
        db.upsert(QStringLiteral("items"), {{"id", "i3"}, {"name", "垫片"}, {"barcode", "1"}}, nullptr);
        db.upsert(QStringLiteral("items"), {{"id", "i4"}, {"name", "bolt"}, {"barcode", "2"}}, nullptr);
        db.upsert(QStringLiteral("items"), {{"id", "gone"}, {"name", "A"}, {"barcode", "3"}}, nullptr);
        db.softDelete(QStringLiteral("items"), QStringLiteral("gone"), nullptr);
        rawValue(QStringLiteral("UPDATE items SET barcode = NULL WHERE id = 'i3'"));
        db.upsert(QStringLiteral("customers"), {{"id", "c1"}, {"name", "乙"}}, nullptr);
        db.upsert(QStringLiteral("customers"), {{"id", "c2"}, {"name", "甲"}}, nullptr);
        db.upsert(QStringLiteral("customers"), {{"id", "c3"}}, nullptr);
        rawValue(QStringLiteral("UPDATE customers SET name = NULL WHERE id = 'c3'"));

        const auto shown = [](const QList<IdName> &choices) {
            QStringList lines;
            for (const IdName &choice : choices)
                lines << choice.id + QLatin1Char('=') + choice.name;
            return lines;
        };
        QCOMPARE(shown(db.itemChoices()), QStringList({"i2=Bolt（）", "i4=bolt（2）", "i3=", "i1=螺丝（690）"}));
        QCOMPARE(shown(db.customerChoices()), QStringList({"c3=", "c1=乙", "c2=甲"}));
        // What the SQL text the row editor sent gives.
        QCOMPARE(shown(db.itemChoices()),
                 shown(db.queryIdName(QStringLiteral(
                     "SELECT id, name || '（' || barcode || '）' FROM items WHERE deleted=0 ORDER BY name"))));
        QCOMPARE(shown(db.customerChoices()),
                 shown(db.queryIdName(QStringLiteral("SELECT id, name FROM customers WHERE deleted=0 ORDER BY name"))));

        db.close();
        QVERIFY(db.itemChoices().isEmpty());
        QVERIFY(db.customerChoices().isEmpty());
    }
};

TOVANIK_TEST_GUILESS_MAIN(LookupsTest)
#include "tst_lookups.moc"
