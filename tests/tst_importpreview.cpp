#include "catalogue/catalogue.h"
#include "storage/csvtext.h"
#include "storage/database.h"
#include "testmain.h"
#include "teststorage.h"
#include "testutil.h"
#include "ui/csvexport.h"
#include "ui/importpreview.h"

#include <QFileDialog>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

using testutil::putRow;

// Through the program's own connection, on its thread.
QVariant scalar(const QString &statement)
{
    QVariant value;
    Database::instance().onConnectionThread([&] {
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("plindor")));
        if (query.exec(statement) && query.next())
            value = query.value(0);
    });
    return value;
}

// What the preview showed when it came up.
struct Seen
{
    QString counts;
    QString source;
    QString notes;
    bool importEnabled = false;
    int previewRows = 0;
    QStringList errors;
};

} // namespace

class ImportPreviewTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<testutil::WindowParts> t;
    QTemporaryDir dir;

    void showTable(const QString &key)
    {
        t->dataPage->tableChooser()->setCurrentIndex(t->dataPage->tableChooser()->findData(key));
        t->dataPage->refresh();
    }

    // Imports the file through the page, answering the preview with the button `answer` (after `act` on it)
    // and any box after it; what the preview and the boxes showed goes to seen and boxes.
    void importThroughPage(const QString &path, const QString &answer, Seen *seen, QList<testutil::SeenBox> *boxes,
                           const std::function<void(ImportPreview *)> &act = {})
    {
        testutil::answerNextDialog([&](QDialog *dialog) {
            auto *preview = qobject_cast<ImportPreview *>(dialog);
            if (!preview) {
                dialog->reject();
                return;
            }
            QCOMPARE(preview->windowTitle(), QStringLiteral("导入预览"));
            seen->counts = preview->findChild<QLabel *>("counts")->text();
            seen->source = preview->findChild<QLabel *>("source")->text();
            seen->notes = preview->findChild<QLabel *>("notes")->text();
            seen->importEnabled = testutil::findButton(preview, QStringLiteral("导入"))->isEnabled();
            seen->previewRows = preview->findChild<QTableWidget *>("previewRows")->rowCount();
            auto *errors = preview->findChild<QTableWidget *>("errorRows");
            for (int r = 0; r < errors->rowCount(); ++r)
                seen->errors << errors->item(r, 0)->text() + '|' + errors->item(r, 1)->text() + '|'
                                    + errors->item(r, 2)->text();
            if (act)
                act(preview);
            QPushButton *button = testutil::findButton(preview, answer);
            if (button && button->isEnabled())
                button->click();
            else
                preview->reject();
        });
        if (boxes)
            testutil::answerBoxes({QMessageBox::Ok}, boxes);
        t->dataPage->importCsv(path);
        QVERIFY(t->settle());
    }

    QString exportItems()
    {
        const QString path = dir.filePath(QStringLiteral("items.csv"));
        testutil::answerNextBox(QMessageBox::Ok);
        showTable(QStringLiteral("items"));
        exportCsv(t->dataPage, *t->dataPage->currentTable(), t->dataPage->rows(), path);
        return path;
    }

    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(bytes), bytes.size());
    }

    void seedItems()
    {
        putRow(QStringLiteral("categories"), {{"id", "c1"}, {"name", "工具"}});
        putRow(QStringLiteral("items"), {{"id", "i1"},
                                         {"barcode", "0069012345678901"},
                                         {"name", "螺丝, \"大号\"\n第二行"},
                                         {"categoryId", "c1"},
                                         {"quantity", 3},
                                         {"unitPrice", 12.5}});
        putRow(QStringLiteral("items"),
               {{"id", "i2"}, {"barcode", "6901234567890"}, {"name", "垫片"}, {"quantity", 1234567}});
        putRow(QStringLiteral("items"), {{"id", "i3"}, {"name", "胶带"}, {"unitPrice", 0.1}, {"shortcode", "007"}});
        putRow(QStringLiteral("items"), {{"id", "i4"}, {"name", "没有价格"}});
    }

private Q_SLOTS:
    void init()
    {
        testutil::openWindow(&window);
        t = std::make_unique<testutil::WindowParts>(*window);
    }

    void cleanup()
    {
        testutil::dropPendingAnswers();
        t.reset();
        window.reset();
    }

    void theButtonAsksForAFileWhereTheLastExportWent()
    {
        seedItems();
        const QString exported = exportItems();
        QPushButton *button = testutil::findButton(t->dataPage, QStringLiteral("导入 CSV"));
        QVERIFY(button);
        QString title;
        QStringList filters;
        QString folder;
        testutil::answerNextDialog([&](QDialog *dialog) {
            auto *chooser = qobject_cast<QFileDialog *>(dialog);
            QVERIFY(chooser);
            title = chooser->windowTitle();
            filters = chooser->nameFilters();
            folder = chooser->directory().absolutePath();
            chooser->reject();
        });
        // The export above went through the page's helper, not its dialog: the folder is the page's own.
        button->click();
        QCOMPARE(title, QStringLiteral("导入 CSV"));
        QCOMPARE(filters, QStringList{QStringLiteral("CSV (*.csv *.txt)")});
        QCOMPARE(folder, QDir::homePath());

        // An import that was chosen in a folder makes the next dialogs start there.
        bool previewShown = false;
        testutil::answerNextDialog([&](QDialog *dialog) {
            auto *chooser = qobject_cast<QFileDialog *>(dialog);
            QVERIFY(chooser);
            // Typed as the operator would: a selection waits for the folder's listing, which a busy machine delays.
            chooser->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(exported);
            // The preview of the chosen file comes next; it is only looked at.
            testutil::answerNextDialog([&](QDialog *preview) {
                previewShown = qobject_cast<ImportPreview *>(preview) != nullptr;
                preview->reject();
            });
            static_cast<QDialog *>(chooser)->accept();
            QVERIFY(!chooser->isVisible());
        });
        button->click();
        QTest::qWait(50);
        QVERIFY(previewShown);
        testutil::answerNextDialog([&](QDialog *dialog) {
            folder = qobject_cast<QFileDialog *>(dialog)->directory().absolutePath();
            dialog->reject();
        });
        button->click();
        QCOMPARE(folder, QFileInfo(exported).absolutePath());
    }

    void roundTripChangesNothing()
    {
        seedItems();
        const QString path = exportItems();
        const int versions = scalar("SELECT COUNT(*) FROM versions").toInt();
        const int logged = scalar("SELECT COUNT(*) FROM sync_log").toInt();
        const QString stamps = scalar("SELECT group_concat(serverUpdatedAt) FROM items").toString();

        Seen seen;
        QList<testutil::SeenBox> boxes;
        importThroughPage(path, QStringLiteral("导入"), &seen, &boxes);
        QCOMPARE(seen.counts, QStringLiteral("新增 0　　更新 0　　未变 4　　有错 0"));
        QVERIFY2(seen.source.contains(QStringLiteral("编码：UTF-8")), qPrintable(seen.source));
        QVERIFY2(seen.source.contains(QStringLiteral("分隔符：逗号")), qPrintable(seen.source));
        QVERIFY(!seen.importEnabled);
        QVERIFY(boxes.isEmpty());
        QCOMPARE(scalar("SELECT COUNT(*) FROM versions").toInt(), versions);
        QCOMPARE(scalar("SELECT COUNT(*) FROM sync_log").toInt(), logged);
        QCOMPARE(scalar("SELECT group_concat(serverUpdatedAt) FROM items").toString(), stamps);
    }

    void editedPricesUpdateExactlyThoseRows()
    {
        seedItems();
        const QString path = exportItems();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray bytes = file.readAll();
        file.close();
        QVERIFY(bytes.contains("\"12.5\""));
        QVERIFY(bytes.contains("\"0.1\""));
        bytes.replace("\"12.5\"", "\"13.8\"").replace("\"0.1\"", "\"¥1,000\"");
        writeFile(path, bytes);
        const QString untouched = scalar("SELECT serverUpdatedAt || updatedAt FROM items WHERE id = 'i2'").toString();
        const int versions = scalar("SELECT COUNT(*) FROM versions").toInt();

        Seen seen;
        QList<testutil::SeenBox> boxes;
        importThroughPage(path, QStringLiteral("导入"), &seen, &boxes);
        QCOMPARE(seen.counts, QStringLiteral("新增 0　　更新 2　　未变 2　　有错 0"));
        QVERIFY(seen.importEnabled);
        QCOMPARE(seen.previewRows, 2);
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().title, QStringLiteral("导入完成"));
        QVERIFY2(boxes.first().text.contains(QStringLiteral("更新 2 条")), qPrintable(boxes.first().text));

        QCOMPARE(scalar("SELECT unitPrice FROM items WHERE id = 'i1'").toDouble(), 13.8);
        QCOMPARE(scalar("SELECT unitPrice FROM items WHERE id = 'i3'").toDouble(), 1000.0);
        QCOMPARE(scalar("SELECT name FROM items WHERE id = 'i1'").toString(), QStringLiteral("螺丝, \"大号\"\n第二行"));
        QCOMPARE(scalar("SELECT shortcode FROM items WHERE id = 'i3'").toString(), QStringLiteral("007"));
        QCOMPARE(scalar("SELECT serverUpdatedAt || updatedAt FROM items WHERE id = 'i2'").toString(), untouched);
        QCOMPARE(scalar("SELECT COUNT(*) FROM versions").toInt(), versions + 1);
        QCOMPARE(scalar("SELECT reason || '|' || source FROM versions ORDER BY id DESC LIMIT 1").toString(),
                 QStringLiteral("导入 CSV 前|qt"));
        QCOMPARE(scalar("SELECT peer || '|' || direction || '|' || summary FROM sync_log ORDER BY id DESC LIMIT 1")
                     .toString(),
                 QStringLiteral("qt-ui|导入|新增 0 / 更新 2（items.csv）"));
        // The page shows the new prices.
        QVERIFY(testutil::columnTexts(t->dataPage->view(), QStringLiteral("单价")).contains(QStringLiteral("13.80")));
    }

    void cancelWritesNothing_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("取消") << QStringLiteral("取消");
        QTest::newRow("closed") << QString();
    }

    void cancelWritesNothing()
    {
        QFETCH(QString, answer);
        seedItems();
        const QString path = dir.filePath(QStringLiteral("new.csv"));
        writeFile(path, "名称,数量\n新物品,2\n另一个,3\n");
        const QString before = scalar("SELECT COUNT(*) || '/' || (SELECT COUNT(*) FROM versions) || '/' || "
                                      "(SELECT COUNT(*) FROM sync_log) FROM items")
                                   .toString();
        Seen seen;
        QList<testutil::SeenBox> boxes;
        importThroughPage(path, answer, &seen, &boxes);
        QCOMPARE(seen.counts, QStringLiteral("新增 2　　更新 0　　未变 0　　有错 0"));
        QVERIFY(seen.importEnabled);
        QVERIFY(boxes.isEmpty());
        QCOMPARE(scalar("SELECT COUNT(*) || '/' || (SELECT COUNT(*) FROM versions) || '/' || "
                        "(SELECT COUNT(*) FROM sync_log) FROM items")
                     .toString(),
                 before);
    }

    void badInputIsRefusedBeforeThePreview_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reason");
        QTest::newRow("header of another table") << QByteArray("货号,品名\nA,B\n") << "文件的表头与当前表不符";
        QTest::newRow("empty") << QByteArray() << "文件是空的";
        QTest::newRow("unclosed quote") << QByteArray("名称\n\"a\n") << "第 2 行的引号没有闭合";
        QTest::newRow("vanished") << QByteArray("missing") << "找不到文件";
    }

    void badInputIsRefusedBeforeThePreview()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        showTable(QStringLiteral("items"));
        const QString path = dir.filePath(QStringLiteral("bad.csv"));
        QFile::remove(path);
        if (bytes != "missing")
            writeFile(path, bytes);
        const int versions = scalar("SELECT COUNT(*) FROM versions").toInt();
        bool dialogShown = false;
        testutil::answerNextDialog([&](QDialog *dialog) {
            dialogShown = true;
            dialog->reject();
        });
        QList<testutil::SeenBox> boxes;
        testutil::answerBoxes({QMessageBox::Ok}, &boxes);
        t->dataPage->importCsv(path);
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().title, QStringLiteral("导入失败"));
        QVERIFY2(boxes.first().text.startsWith(reason), qPrintable(boxes.first().text));
        QVERIFY(!dialogShown);
        QCOMPARE(scalar("SELECT COUNT(*) FROM versions").toInt(), versions);
    }

    void errorRowsAreListedAndSaved()
    {
        seedItems();
        const QString path = dir.filePath(QStringLiteral("gbk.csv"));
        // "条码号\t名称\t数量\n6.9E+12\t坏条码\t1\n123\t好的\t2\n456\t坏数量\t很多\n" as Chinese Excel saves it.
        writeFile(
            path,
            QByteArray(
                "\xCC\xF5\xC2\xEB\xBA\xC5\t\xC3\xFB\xB3\xC6\t\xCA\xFD\xC1\xBF\n6.9E+12\t\xBB\xB5\xCC\xF5\xC2\xEB\t1\n123\t\xBA\xC3\xB5\xC4\t2\n456\t\xBB\xB5\xCA\xFD\xC1\xBF\t\xBA\xDC\xB6\xE0\n"));
        const QString errorsPath = dir.filePath(QStringLiteral("gbk-错误行.csv"));
        Seen seen;
        QList<testutil::SeenBox> boxes;
        bool saved = false;
        importThroughPage(path, QStringLiteral("导入"), &seen, &boxes, [&](ImportPreview *preview) {
            QString error;
            saved = preview->saveErrorRows(errorsPath, &error);
        });
        QVERIFY(saved);
        QCOMPARE(seen.counts, QStringLiteral("新增 1　　更新 0　　未变 0　　有错 2"));
        QVERIFY2(seen.source.contains(QStringLiteral("GB18030")), qPrintable(seen.source));
        QVERIFY2(seen.source.contains(QStringLiteral("制表符")), qPrintable(seen.source));
        QCOMPARE(seen.errors,
                 QStringList({QStringLiteral("2|条码号|条码被表格软件改成了科学计数法，请把该列设为文本后重新导出"),
                              QStringLiteral("4|数量|「很多」不是数字")}));
        QCOMPARE(scalar("SELECT COUNT(*) FROM items WHERE name IN ('坏条码', '坏数量')").toInt(), 0);
        QCOMPARE(scalar("SELECT quantity FROM items WHERE name = '好的'").toDouble(), 2.0);

        QFile file(errorsPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const csvtext::Document back = csvtext::parse(file.readAll());
        QCOMPARE(back.encoding, csvtext::Encoding::Gb18030);
        QCOMPARE(back.separator, QChar('\t'));
        QCOMPARE(back.header, QStringList({"条码号", "名称", "数量", "错误原因"}));
        QCOMPARE(back.records.size(), 2);
        QCOMPARE(back.records.at(1).fields.mid(0, 3), QStringList({"456", "坏数量", "很多"}));
        QCOMPARE(back.records.at(1).fields.at(3), QStringLiteral("数量：「很多」不是数字"));
    }

    void aFaultWritesNothingAndSaysWhy()
    {
        seedItems();
        const QString path = dir.filePath(QStringLiteral("new.csv"));
        QByteArray bytes("id,name\n");
        for (int i = 0; i < 2000; ++i)
            bytes += QStringLiteral("n%1,%2\n").arg(i).arg(QString(60, QChar(0x6599))).toUtf8();
        writeFile(path, bytes);
        const int items = scalar("SELECT COUNT(*) FROM items").toInt();
        const int versions = scalar("SELECT COUNT(*) FROM versions").toInt();
        Seen seen;
        QList<testutil::SeenBox> boxes;
        {
            testutil::StorageFault fault(QStringLiteral("full"), Database::instance().fileName());
            importThroughPage(path, QStringLiteral("导入"), &seen, &boxes);
        }
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().title, QStringLiteral("导入失败"));
        QVERIFY2(boxes.first().text.contains(QStringLiteral("磁盘空间已满")), qPrintable(boxes.first().text));
        QCOMPARE(scalar("SELECT COUNT(*) FROM items").toInt(), items);
        QCOMPARE(scalar("SELECT COUNT(*) FROM versions").toInt(), versions);
    }
};

TOVANIK_TEST_MAIN(ImportPreviewTest)
#include "tst_importpreview.moc"
