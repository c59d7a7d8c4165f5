#include "catalogue/catalogue.h"
#include "storage/csvtext.h"
#include "storage/importplanner.h"
#include "storagetestcase.h"
#include "testmain.h"
#include "teststorage.h"

#include <QFile>
#include <QRegularExpression>
#include <QSqlRecord>
#include <QStringEncoder>
#include <QtTest>

namespace {

const QString stamp = QStringLiteral("2024-01-01 00:00:00");

// A read file as "encoding separator | header | line:field|field ..."; or its error.
QString describe(const csvtext::Document &document)
{
    if (!document.error.isEmpty())
        return QStringLiteral("error: ") + document.error;
    QStringList parts{csvtext::encodingName(document.encoding) + ' ' + csvtext::separatorName(document.separator),
                      document.header.join('|')};
    for (const csvtext::Record &record : document.records)
        parts << QString::number(record.line) + ':' + record.fields.join('|');
    return parts.join(QStringLiteral(" ¦ "));
}

QByteArray encoded(const char *encoding, const QString &text)
{
    QStringEncoder encoder(encoding);
    return encoder.encode(text);
}

QString counts(const ImportPlan &plan)
{
    return QStringLiteral("新增 %1 / 更新 %2 / 未变 %3 / 有错 %4")
        .arg(plan.inserts())
        .arg(plan.updates())
        .arg(plan.unchanged)
        .arg(plan.errorRecords().size());
}

} // namespace

class CsvImportTest : public StorageTestCase
{
    Q_OBJECT

private:
    // Categories 工具 (c1) over 锤子 (c2), a second root 锤子 (c3); location 仓库 (l1); items 螺丝 (i1)
    // and 垫片 (i2); a deleted item gone.
    void seed()
    {
        testutil::putRow("categories", {{"id", "c1"}, {"name", "工具"}});
        testutil::putRow("categories", {{"id", "c2"}, {"name", "锤子"}, {"parentId", "c1"}});
        testutil::putRow("categories", {{"id", "c3"}, {"name", "锤子"}});
        testutil::putRow("locations", {{"id", "l1"}, {"name", "仓库"}});
        testutil::putRow("items", {{"id", "i1"},
                                   {"barcode", "0012"},
                                   {"name", "螺丝"},
                                   {"categoryId", "c1"},
                                   {"quantity", 3},
                                   {"unitPrice", 12.5}});
        testutil::putRow("items", {{"id", "i2"}, {"name", "垫片"}, {"quantity", 1}});
        testutil::putRow("items", {{"id", "gone"}, {"name", "旧货"}, {"barcode", "777"}, {"quantity", 7}});
        QVERIFY(db.softDelete("items", "gone", nullptr));
    }

    ImportPlan planFor(const QString &table, const QByteArray &bytes)
    {
        const csvtext::Document document = csvtext::parse(bytes);
        if (!document.error.isEmpty())
            qWarning() << document.error;
        ImportBasis basis;
        QString error;
        if (!db.importBasis(table, &basis, &error))
            qWarning() << error;
        return ImportPlanner::plan(*findTable(table), document, basis);
    }

    // A stored row by id, or by name when no row has that id; deleted rows included.
    QJsonObject storedRow(const QString &table, const QString &key)
    {
        QSqlQuery query(QSqlDatabase::database("plindor"));
        query.prepare(QStringLiteral("SELECT * FROM %1 WHERE id = ? UNION ALL SELECT * FROM %1 WHERE name = ? LIMIT 1")
                          .arg(table));
        query.addBindValue(key);
        query.addBindValue(key);
        QJsonObject row;
        if (query.exec() && query.next()) {
            for (int i = 0; i < query.record().count(); ++i)
                row.insert(query.record().fieldName(i), QJsonValue::fromVariant(query.value(i)));
        }
        return row;
    }

    int rowCount(const QString &table) { return rawValue("SELECT COUNT(*) FROM " + table).toInt(); }

private Q_SLOTS:
    void readsFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("read");

        QTest::newRow("export form: BOM, CRLF, all quoted")
            << QByteArray("\xEF\xBB\xBF\"id\",\"name\"\r\n\"i1\",\"螺丝\"\r\n") << "UTF-8 逗号 ¦ id|name ¦ 2:i1|螺丝";
        QTest::newRow("LF, no BOM, no last line end")
            << QByteArray("id,name\ni1,螺丝\ni2,垫片") << "UTF-8 逗号 ¦ id|name ¦ 2:i1|螺丝 ¦ 3:i2|垫片";
        QTest::newRow("quotes: separators, doubled quotes, line breaks")
            << QByteArray("id,name\r\ni1,\"a, \"\"b\"\"\r\nc\"\r\ni2,d\r\n")
            << "UTF-8 逗号 ¦ id|name ¦ 2:i1|a, \"b\"\r\nc ¦ 4:i2|d";
        QTest::newRow("blank lines and empty records skipped")
            << QByteArray("id,name\n\ni1,a\n,\n\r\ni2,b\n\n") << "UTF-8 逗号 ¦ id|name ¦ 3:i1|a ¦ 6:i2|b";
        QTest::newRow("GB18030 from Chinese Excel")
            << QByteArray("\xC3\xFB\xB3\xC6,\xCA\xFD\xC1\xBF\r\n\xC7\xAF\xD7\xD3,2\r\n")
            << "GB18030（GBK） 逗号 ¦ 名称|数量 ¦ 2:钳子|2";
        QTest::newRow("UTF-16 Unicode text, tabs")
            << QByteArray("\xFF\xFE") + encoded("UTF-16LE", "名称\t数量\r\n钳子\t2,5\r\n")
            << "UTF-16（Unicode 文本） 制表符 ¦ 名称|数量 ¦ 2:钳子|2,5";
        QTest::newRow("UTF-16 big endian") << QByteArray("\xFE\xFF") + encoded("UTF-16BE", "名称\n钳子\n")
                                           << "UTF-16（Unicode 文本） 逗号 ¦ 名称 ¦ 2:钳子";
        QTest::newRow("semicolons") << QByteArray("id;name;quantity\ni1;a,b;3\n")
                                    << "UTF-8 分号 ¦ id|name|quantity ¦ 2:i1|a,b|3";
        QTest::newRow("blank lines before a tab-separated header")
            << QByteArray("\r\n\r\nid\tname\ni1\ta,b\n") << "UTF-8 制表符 ¦ id|name ¦ 4:i1|a,b";
        QTest::newRow("semicolons in the header only")
            << QByteArray("id;name\ni1;\"a;b\"\n") << "UTF-8 分号 ¦ id|name ¦ 2:i1|a;b";
    }

    void readsFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, read);
        QCOMPARE(describe(csvtext::parse(bytes)), read);
    }

    void refusesBadFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error");

        QTest::newRow("empty") << QByteArray() << "文件是空的";
        QTest::newRow("byte order mark only") << QByteArray("\xEF\xBB\xBF\r\n") << "文件是空的";
        QTest::newRow("header only") << QByteArray("id,name\r\n") << "文件只有表头";
        QTest::newRow("workbook") << QByteArray("PK\x03\x04\x14\0\x06\0", 8) + QByteArray(64, '\0')
                                  << "这不是文本格式的 CSV 文件";
        QTest::newRow("unclosed quote") << QByteArray("id,name\ni1,ok\ni2,\"broken\ni3,c\n") << "第 3 行的引号没有闭合";
        QTest::newRow("neither UTF-8 nor GB18030")
            << QByteArray("id,name\n\x80\xFF,\xFF\x80\n") << "无法识别文件的编码";
    }

    void refusesBadFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        const QString seen = csvtext::parse(bytes).error;
        QVERIFY2(seen.startsWith(error), qPrintable(seen));
    }

    void refusesFilesItCannotRead()
    {
        QString error;
        QByteArray bytes;
        QVERIFY(!csvtext::load(dir.filePath("missing.csv"), &bytes, &error));
        QVERIFY2(error.startsWith("找不到文件"), qPrintable(error));

        QVERIFY(!csvtext::load(dir.path(), &bytes, &error));
        QVERIFY2(error.startsWith("这是一个文件夹"), qPrintable(error));

        QFile big(dir.filePath("big.csv"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(csvtext::maxFileBytes + 1));
        big.close();
        QVERIFY(!csvtext::load(big.fileName(), &bytes, &error));
        QVERIFY2(error.startsWith("文件太大"), qPrintable(error));
        QVERIFY(bytes.isEmpty());
    }

    void valueRules_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("isNumber");
        QTest::addColumn<double>("number");

        QTest::newRow("whole") << "3" << true << 3.0;
        QTest::newRow("trailing zero") << "12.50" << true << 12.5;
        QTest::newRow("spaces and sign") << "  -0.25 " << true << -0.25;
        QTest::newRow("yuan and thousands") << "¥1,234.5" << true << 1234.5;
        QTest::newRow("full-width yuan, negative") << "-￥ 2,000" << true << -2000.0;
        QTest::newRow("wrong grouping") << "12,34" << false << 0.0;
        QTest::newRow("two points") << "1.2.3" << false << 0.0;
        QTest::newRow("words") << "三个" << false << 0.0;
        QTest::newRow("exponent") << "1.5E+3" << false << 0.0;
        QTest::newRow("sign only") << "-" << false << 0.0;
    }

    void valueRules()
    {
        QFETCH(QString, text);
        QFETCH(bool, isNumber);
        QFETCH(double, number);
        double parsed = -99;
        QCOMPARE(ImportPlanner::parseNumber(text, &parsed), isNumber);
        if (isNumber)
            QCOMPARE(parsed, number);
    }

    void importsFiles_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("counted");
        // "line|column|part of the reason" for every error, in order.
        QTest::addColumn<QStringList>("errors");
        // "row.column=value" for stored rows, a row named by id or else by name.
        QTest::addColumn<QStringList>("stored");

        QTest::newRow("price by id keeps the other columns")
            << QByteArray("id,unitPrice\ni1,13.80\n") << "新增 0 / 更新 1 / 未变 0 / 有错 0" << QStringList()
            << QStringList{"i1.unitPrice=13.8", "i1.name=螺丝", "i1.barcode=0012", "i1.quantity=3"};
        QTest::newRow("Chinese headers in any order, yuan and thousands")
            << QByteArray(" 单价 ,ID,名称\n\"¥1,234.5\",i2,垫片\n") << "新增 0 / 更新 1 / 未变 0 / 有错 0"
            << QStringList() << QStringList{"i2.unitPrice=1234.5", "i2.name=垫片"};
        QTest::newRow("raw names in any case, unchanged row")
            << QByteArray("ID,NAME,Quantity\ni1,螺丝,3\ni2,垫片,1.0\n") << "新增 0 / 更新 0 / 未变 2 / 有错 0"
            << QStringList() << QStringList{"i1.name=螺丝"};
        QTest::newRow("Excel exponent barcodes")
            << QByteArray("id,barcode,name\n,6.9E+12,新件\ni1,6.90012E+12,螺丝\n")
            << "新增 0 / 更新 0 / 未变 0 / 有错 2"
            << QStringList{"2|barcode|" + ImportPlanner::exponentReason, "3|barcode|" + ImportPlanner::exponentReason}
            << QStringList{"i1.barcode=0012", "新件.name="};
        QTest::newRow("references by path, name and id")
            << QByteArray("name,所属分类,locationId\nA,工具 > 锤子,仓库\nB,c3, \nC,工具,l1\n")
            << "新增 3 / 更新 0 / 未变 0 / 有错 0" << QStringList()
            << QStringList{"A.categoryId=c2", "A.locationId=l1", "B.categoryId=c3",
                           "B.locationId=",   "C.categoryId=c1", "C.locationId=l1"};
        QTest::newRow("references naming several rows or none")
            << QByteArray("name,categoryId\nD,锤子\nE,不存在\n") << "新增 0 / 更新 0 / 未变 0 / 有错 2"
            << QStringList{"2|categoryId|对应了 2 个分类（ID：c2、c3）", "3|categoryId|找不到对应的分类"}
            << QStringList{"D.name=", "E.name="};
        QTest::newRow("unknown id inserted with it, a deleted row comes back")
            << QByteArray("id,name,quantity\nnew1,新的,5\ngone,旧货回来,\n") << "新增 1 / 更新 1 / 未变 0 / 有错 0"
            << QStringList() << QStringList{"new1.name=新的",   "new1.quantity=5", "gone.name=旧货回来",
                                            "gone.barcode=777", "gone.deleted=0",  "gone.quantity="};
        QTest::newRow("the same id twice: the later row wins")
            << QByteArray("id,name\ni2,第一次\ni2,第二次\n") << "新增 0 / 更新 1 / 未变 0 / 有错 0" << QStringList()
            << QStringList{"i2.name=第二次"};
        QTest::newRow("bad numbers and rows too long")
            << QByteArray("id,quantity,name\ni1,abc,x\ni2,\"12,34\",y\nn9,1,a,b\n")
            << "新增 0 / 更新 0 / 未变 0 / 有错 3"
            << QStringList{"2|quantity|「abc」不是数字", "3|quantity|不是数字", "4||比表头的 3 列多"}
            << QStringList{"i1.quantity=3", "i1.name=螺丝", "i2.name=垫片"};
        QTest::newRow("leading zeros kept, numbers stored exactly")
            << QByteArray("id,barcode,quantity,unitPrice\ni2,000123,3.0,12.50\n") << "新增 0 / 更新 1 / 未变 0 / 有错 0"
            << QStringList() << QStringList{"i2.barcode=000123", "i2.quantity=3", "i2.unitPrice=12.5"};
        QTest::newRow("GB18030 with tabs") << QByteArray(
            "\xC3\xFB\xB3\xC6\t\xCA\xFD\xC1\xBF\t\xBF\xE2\xB4\xE6\xCB\xB5\xC3\xF7\r\n\xC7\xAF\xD7\xD3\t2\t\xCE\xDE\r\n")
                                           << "新增 1 / 更新 0 / 未变 0 / 有错 0" << QStringList()
                                           << QStringList{"钳子.quantity=2"};
    }

    void importsFiles()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, counted);
        QFETCH(QStringList, errors);
        QFETCH(QStringList, stored);
        freshDatabaseForRow("import");
        seed();
        const int versionsBefore = versionCount();

        const ImportPlan plan = planFor("items", file);
        QVERIFY2(plan.refusal.isEmpty(), qPrintable(plan.refusal));
        QCOMPARE(counts(plan), counted);
        QStringList seenErrors;
        for (int i = 0; i < plan.errors.size(); ++i) {
            const ImportError &error = plan.errors.at(i);
            const QStringList expected = errors.value(i).split('|');
            QCOMPARE(QString::number(error.line), expected.value(0));
            QCOMPARE(error.column, expected.value(1).isEmpty() ? QString() : expected.value(1));
            QVERIFY2(error.reason.contains(expected.value(2)), qPrintable(error.reason));
        }
        QCOMPARE(plan.errors.size(), errors.size());

        QString error;
        QVERIFY2(db.importRows(plan, "items.csv", &error), qPrintable(error));
        QCOMPARE(versionCount(), versionsBefore + (plan.rows.isEmpty() ? 0 : 1));
        for (const QString &check : stored) {
            const QString row = check.section('.', 0, 0);
            const QString column = check.section('.', 1).section('=', 0, 0);
            const QString value = check.section('=', 1);
            const QJsonObject found = storedRow("items", row);
            if (value.isEmpty() && column == "name") {
                QVERIFY2(found.isEmpty(), qPrintable(row + " was written"));
                continue;
            }
            QVERIFY2(!found.isEmpty(), qPrintable(row + " not stored"));
            QCOMPARE(found.value(column).toVariant().toString(), value);
        }
    }

    void headerNamingNoColumnIsRefused()
    {
        freshDatabase("refused");
        const ImportPlan plan = planFor("customers", "货号,品名\nA,B\n");
        QVERIFY(plan.refusal.startsWith("文件的表头与当前表不符"));
        QVERIFY2(plan.refusal.contains("「货号」、「品名」"), qPrintable(plan.refusal));
    }

    void ignoredColumnsAndDuplicatesAreListed()
    {
        freshDatabase("ignored");
        seed();
        const ImportPlan plan = planFor("items", "id,name,serverUpdatedAt,deleted,备注,名称\ni2,垫片二,x,1,y,z\n");
        QCOMPARE(plan.columns, QStringList({"id", "name"}));
        QCOMPARE(plan.ignored, QStringList({"serverUpdatedAt", "deleted", "备注", "名称（重复的列）"}));
        const ImportPlan twice = planFor("items", "id,name\ni2,a\ni1,b\ni2,c\n");
        QCOMPARE(twice.notes.size(), 1);
        QVERIFY2(twice.notes.first().contains("第 2 行与第 4 行"), qPrintable(twice.notes.first()));
    }

    void aTreeComesInWhole()
    {
        freshDatabase("tree");
        const ImportPlan plan = planFor("categories", "id,name,parentId\nk2,子,k1\nk1,父,\nk3,孙,子\n");
        QCOMPARE(counts(plan), QStringLiteral("新增 3 / 更新 0 / 未变 0 / 有错 0"));
        QVERIFY(db.importRows(plan, "c.csv", nullptr));
        QCOMPARE(db.pathOf("categories", "k3"), QStringLiteral("父 > 子 > 孙"));
    }

    void writeStampsAsTheEditorDoes()
    {
        freshDatabase("stamps");
        seed();
        const testutil::StoppedClock clock(QDateTime(QDate(2025, 6, 1), QTime(8, 30, 0)));
        const QString now = "2025-06-01 08:30:00";
        const ImportPlan plan = planFor(
            "items", "id,name,createdAt,updatedAt\n,新件,,\ni1,螺丝钉,2000-01-01 00:00:00,2000-01-01 00:00:00\n");
        QCOMPARE(plan.notes.size(), 1);
        QVERIFY2(plan.notes.first().startsWith("创建时间和更新时间只用于新增的行"), qPrintable(plan.notes.first()));
        QVERIFY(db.importRows(plan, "价格.csv", nullptr));

        const QJsonObject fresh = storedRow("items", "新件");
        QVERIFY2(QRegularExpression("^qt-[0-9a-z]+-[0-9a-z]+$").match(fresh.value("id").toString()).hasMatch(),
                 qPrintable(fresh.value("id").toString()));
        QCOMPARE(fresh.value("createdAt").toString(), now);
        QCOMPARE(fresh.value("updatedAt").toString(), now);
        QCOMPARE(fresh.value("serverUpdatedAt").toString(), now);
        const QJsonObject edited = storedRow("items", "i1");
        QCOMPARE(edited.value("name").toString(), QStringLiteral("螺丝钉"));
        QCOMPARE(edited.value("createdAt").toString(), stamp);
        QCOMPARE(edited.value("updatedAt").toString(), now);
        QCOMPARE(edited.value("serverUpdatedAt").toString(), now);
        QCOMPARE(storedRow("items", "i2").value("serverUpdatedAt").toString() == now, false);

        QCOMPARE(rawValue("SELECT reason || '|' || source FROM versions ORDER BY id DESC LIMIT 1").toString(),
                 QStringLiteral("导入 CSV 前|qt"));
        QCOMPARE(rawValue("SELECT peer || '|' || direction || '|' || summary FROM sync_log ORDER BY id DESC LIMIT 1")
                     .toString(),
                 QStringLiteral("qt-ui|导入|新增 1 / 更新 1（价格.csv）"));
    }

    void everyRowWithoutAnIdArrives()
    {
        freshDatabase("new-ids");
        QByteArray file("name\n");
        for (int i = 0; i < 5000; ++i)
            file += "物品" + QByteArray::number(i) + '\n';
        const ImportPlan plan = planFor("customers", file);
        QCOMPARE(plan.inserts(), 5000);
        QVERIFY(db.importRows(plan, "c.csv", nullptr));
        QCOMPARE(rowCount("customers"), 5000);
        QCOMPARE(rawValue("SELECT COUNT(*) FROM customers WHERE id GLOB 'qt-*-*'").toInt(), 5000);
    }

    void allOrNothingUnderAFault_data() { testutil::addStorageFaultRows(); }

    void allOrNothingUnderAFault()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        const QString path = freshDatabaseForRow("fault");
        seed();
        QByteArray file("id,name,quantity\n");
        for (int i = 0; i < 3000; ++i)
            file += QStringLiteral("n%1,新物品 %1 %2,%1\n").arg(i).arg(QString(40, QChar(0x6599))).toUtf8();
        file += "i1,螺丝改,9\n";
        const ImportPlan plan = planFor("items", file);
        QCOMPARE(plan.rows.size(), 3001);
        const int items = rowCount("items");
        const int versions = versionCount();
        const int logged = rowCount("sync_log");

        QString error;
        {
            testutil::StorageFault storageFault(fault, path);
            QVERIFY(!db.importRows(plan, "big.csv", &error));
        }
        QVERIFY2(error.contains(reason), qPrintable(error));
        QCOMPARE(rowCount("items"), items);
        QCOMPARE(versionCount(), versions);
        QCOMPARE(rowCount("sync_log"), logged);
        QCOMPARE(storedRow("items", "i1").value("name").toString(), QStringLiteral("螺丝"));
    }

    void errorRowsGoBackInTheFilesEncoding()
    {
        const csvtext::Document gbk =
            csvtext::parse(QByteArray("\xC3\xFB\xB3\xC6;\xCA\xFD\xC1\xBF\n\xC7\xAF\xD7\xD3;x\n"));
        QVERIFY(gbk.error.isEmpty());
        const QByteArray written =
            csvtext::compose({{"名称", "数量", "错误原因"}, {"钳子", "x", "「x」不是数字"}}, gbk);
        QCOMPARE(
            written,
            QByteArray(
                "\"\xC3\xFB\xB3\xC6\";\"\xCA\xFD\xC1\xBF\";\"\xB4\xED\xCE\xF3\xD4\xAD\xD2\xF2\"\r\n\"\xC7\xAF\xD7\xD3\";\"x\";\"\xA1\xB8x\xA1\xB9\xB2\xBB\xCA\xC7\xCA\xFD\xD7\xD6\"\r\n"));
        const csvtext::Document back = csvtext::parse(written);
        QCOMPARE(back.encoding, csvtext::Encoding::Gb18030);
        QCOMPARE(back.records.first().fields, QStringList({"钳子", "x", "「x」不是数字"}));
    }
};

TOVANIK_TEST_GUILESS_MAIN(CsvImportTest)
#include "tst_csvimport.moc"
