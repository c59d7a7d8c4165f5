#include "storage/database.h"
#include "testhttp.h"
#include "testmain.h"
#include "testutil.h"
#include "ui/mainwindow.h"
#include "ui/versioncomparedialog.h"
#include "ui/versiondiffmodel.h"

#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QPointer>
#include <QTableView>
#include <QTableWidget>
#include <QtTest>

namespace {

void put(const QString &table, const QJsonObject &record)
{
    QVERIFY(!Database::instance().upsert(table, record, nullptr).isEmpty());
}

// The line of the comparison whose row column reads so, or -1.
int lineNamed(const QTableView *view, const QString &name)
{
    for (int row = 0; row < testutil::rowCount(view); ++row) {
        if (testutil::cell(view, row, 2) == name)
            return row;
    }
    return -1;
}

QJsonObject rowOf(const QString &table, const QString &id)
{
    for (const QJsonValue &row : Database::instance().rows(table)) {
        if (row[QStringLiteral("id")].toString() == id)
            return row.toObject();
    }
    return {};
}

} // namespace

// The comparison window, opened from the history page and the sync log page, and its restore.
class VersionCompareTest : public QObject
{
    Q_OBJECT

    static VersionCompareDialog *openedDialog(QWidget *page)
    {
        VersionCompareDialog *dialog = nullptr;
        const auto found = [&] {
            dialog = page->findChild<VersionCompareDialog *>();
            return dialog && dialog->isIdle();
        };
        return QTest::qWaitFor(found, 60000) ? dialog : nullptr;
    }

    static void selectVersion(QTableWidget *versions, int id)
    {
        for (int row = 0; row < versions->rowCount(); ++row) {
            if (versions->item(row, 0)->text() == QStringLiteral("#%1").arg(id))
                versions->selectRow(row);
        }
    }

private Q_SLOTS:
    void init() { QVERIFY(testutil::resetProgramFolder(testutil::quietConfig())); }
    void cleanup() { testutil::dropPendingAnswers(); }

    // What the change after a version did, in the data page's words; two of its rows brought back, one
    // of them changed again since, which the question names.
    void historyShowsTheChangeAndRestoresChosenRows()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        window.show();
        Database &db = Database::instance();
        put("categories", {{"id", "c1"}, {"name", "五金"}});
        put("categories", {{"id", "c2"}, {"name", "螺丝类"}, {"parentId", "c1"}});
        put("items", {{"id", "i1"}, {"name", "螺丝"}, {"barcode", "690001"}, {"categoryId", "c1"}, {"quantity", 5}});
        put("items", {{"id", "i2"}, {"name", "垫片"}, {"quantity", 3}});
        QVERIFY(db.saveVersion("存档甲", "qt-ui"));
        QVERIFY(db.updateRecord("items", "i1", {{"quantity", 5.25}, {"categoryId", "c2"}}, nullptr));
        QVERIFY(db.softDelete("items", "i2", nullptr));
        put("items", {{"id", "i3"}, {"name", "弹簧"}, {"categoryId", "c2"}});
        QVERIFY(db.saveVersion("存档乙", "qt-ui"));
        QVERIFY(db.updateRecord("items", "i1", {{"name", "螺丝 M5"}}, nullptr));
        const int older = db.listVersions(2).last().id;

        t.show(MainWindow::Page::History);
        t.historyPage->refresh();
        selectVersion(t.historyPage->versionList(), older);
        testutil::findButton(t.historyPage, QStringLiteral("查看改动"))->click();
        VersionCompareDialog *dialog = openedDialog(t.historyPage);
        QVERIFY(dialog);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("版本 #%1 之后的改动").arg(older));
        QCOMPARE(dialog->sideChooser()->currentText(), QStringLiteral("与下一个版本比较"));
        QCOMPARE(dialog->summary()->text(), QStringLiteral("物品：新增 1，修改 1，删除 1"));

        QTableView *view = dialog->rowsView();
        QCOMPARE(testutil::rowCount(view), 3);
        const int changed = lineNamed(view, QStringLiteral("螺丝（690001）"));
        QVERIFY(changed >= 0);
        QCOMPARE(testutil::cell(view, changed, 1), QStringLiteral("修改"));
        QCOMPARE(testutil::cell(view, changed, 3), QStringLiteral("所属分类：五金 → 五金 > 螺丝类；数量：5 → 5.25"));
        const int added = lineNamed(view, QStringLiteral("弹簧"));
        QCOMPARE(testutil::cell(view, added, 1), QStringLiteral("新增"));
        QVERIFY(testutil::cell(view, added, 3).contains(QStringLiteral("所属分类：五金 > 螺丝类")));
        const int deleted = lineNamed(view, QStringLiteral("垫片"));
        QCOMPARE(testutil::cell(view, deleted, 1), QStringLiteral("删除"));

        // Against the data now, the rename made since shows as well.
        dialog->sideChooser()->setCurrentIndex(1);
        QCOMPARE(dialog->summary()->text(), QStringLiteral("正在比较…"));
        QVERIFY(QTest::qWaitFor([dialog] { return dialog->isIdle(); }, 60000));
        QCOMPARE(testutil::cell(view, lineNamed(view, QStringLiteral("螺丝 M5（690001）")), 3),
                 QStringLiteral("名称：螺丝 → 螺丝 M5；所属分类：五金 → 五金 > 螺丝类；数量：5 → 5.25"));
        dialog->sideChooser()->setCurrentIndex(0);
        QVERIFY(QTest::qWaitFor([dialog] { return dialog->isIdle(); }, 60000));

        QAbstractItemModel *model = view->model();
        QVERIFY(model->setData(model->index(changed, 0), Qt::Checked, Qt::CheckStateRole));
        QVERIFY(model->setData(model->index(deleted, 0), Qt::Checked, Qt::CheckStateRole));
        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Yes, QMessageBox::Ok}, &seen);
        testutil::findButton(dialog, QStringLiteral("恢复选中的行"))->click();
        QVERIFY(QTest::qWaitFor([&seen] { return seen.size() == 2; }, 60000));
        QCOMPARE(seen.at(0).title, QStringLiteral("确认恢复"));
        QVERIFY2(seen.at(0).text.startsWith(
                     QStringLiteral("确定把这 2 行恢复成版本 #%1 里的样子吗？\n\n物品 2 行").arg(older)),
                 qPrintable(seen.at(0).text));
        QVERIFY(seen.at(0).text.contains(QStringLiteral("其中 1 行之后又改过，恢复会覆盖这些改动")));
        QCOMPARE(seen.at(1).text, QStringLiteral("已恢复 2 行"));
        QVERIFY(t.settle());

        const QJsonObject i1 = rowOf("items", "i1");
        QCOMPARE(i1.value("name").toString(), QStringLiteral("螺丝"));
        QCOMPARE(i1.value("categoryId").toString(), QStringLiteral("c1"));
        QCOMPARE(rowOf("items", "i2").value("quantity").toDouble(), 3.0);
        QCOMPARE(rowOf("items", "i3").value("categoryId").toString(), QStringLiteral("c2"));
        QCOMPARE(db.listVersions(1).first().reason, QStringLiteral("恢复部分行前"));
        QCOMPARE(t.historyPage->versionList()->item(0, 2)->text(), QStringLiteral("恢复部分行前"));
        dialog->close();
    }

    // Nothing checked asks for a choice; answering No writes nothing.
    void restoreAsksFirst()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        Database &db = Database::instance();
        put("items", {{"id", "i1"}, {"name", "螺丝"}});
        QVERIFY(db.saveVersion("存档", "qt-ui"));
        QVERIFY(db.updateRecord("items", "i1", {{"name", "螺母"}}, nullptr));
        const int version = db.listVersions(1).first().id;

        auto *dialog = new VersionCompareDialog(version, 0, nullptr, &window);
        QVERIFY(QTest::qWaitFor([dialog] { return dialog->isIdle(); }, 60000));
        QCOMPARE(dialog->sideChooser()->count(), 1);
        QCOMPARE(dialog->sideChooser()->currentText(), QStringLiteral("与现在比较"));
        QString text;
        testutil::answerNextBox(QMessageBox::Ok, &text);
        testutil::findButton(dialog, QStringLiteral("恢复选中的行"))->click();
        QCOMPARE(text, QStringLiteral("请先勾选要恢复的行"));

        dialog->rowsModel()->checkAll(true);
        testutil::answerNextBox(QMessageBox::No, &text);
        testutil::findButton(dialog, QStringLiteral("恢复选中的行"))->click();
        QTRY_VERIFY(text.startsWith(QStringLiteral("确定把这 1 行")));
        QVERIFY(dialog->isIdle());
        QCOMPARE(rowOf("items", "i1").value("name").toString(), QStringLiteral("螺母"));
        QCOMPARE(db.listVersions(10).size(), 1);
        delete dialog;
    }

    void equalVersionsSaySo()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        Database &db = Database::instance();
        put("items", {{"id", "i1"}, {"name", "螺丝"}});
        QVERIFY(db.saveVersion("甲", "qt-ui"));
        QVERIFY(db.saveVersion("乙", "qt-ui"));
        VersionCompareDialog dialog(db.listVersions(2).last().id, db.listVersions(1).first().id, nullptr, &window);
        QVERIFY(QTest::qWaitFor([&dialog] { return dialog.isIdle(); }, 60000));
        QCOMPARE(dialog.summary()->text(), QStringLiteral("两个版本的数据相同"));
        QCOMPARE(testutil::rowCount(dialog.rowsView()), 0);
    }

    // Closing the window while it compares stops the work and leaves nothing behind.
    void closingStopsTheComparison()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        Database &db = Database::instance();
        QJsonArray items;
        for (int i = 0; i < 20000; ++i)
            items.append(QJsonObject{{"id", QStringLiteral("m%1").arg(i)}, {"name", QStringLiteral("物品 %1").arg(i)}});
        QVERIFY(db.merge(QJsonObject{{"items", items}}).error.isEmpty());
        QVERIFY(db.saveVersion("存档", "qt-ui"));
        QPointer<VersionCompareDialog> dialog =
            VersionCompareDialog::openFor(db.listVersions(1).first().id, nullptr, &window);
        QCOMPARE(dialog->summary()->text(), QStringLiteral("正在比较…"));
        QVERIFY(!dialog->isIdle());
        dialog->close();
        QTRY_VERIFY(dialog.isNull());
    }

    // A push's record opens the version stored just before it.
    void syncLogOpensTheVersionBeforeAPush()
    {
        const quint16 port = testutil::freePort();
        QVERIFY(testutil::resetProgramFolder({{"syncPort", port}, {"publicHost", "203.0.113.9"}, {"syncKey", "K1"}}));
        MainWindow window;
        const testutil::WindowParts t(window);
        window.show();
        put("items", {{"id", "i1"}, {"name", "螺丝"}});
        const QJsonObject pushed{{"items", QJsonArray{QJsonObject{{"id", "p1"}, {"name", "手机的"}},
                                                      QJsonObject{{"id", "p2"}, {"name", "手机的二"}}}}};
        QCOMPARE(
            testutil::exchange(port, testutil::requestBytes("POST", "/import",
                                                            QJsonDocument(pushed).toJson(QJsonDocument::Compact), "K1"))
                .status,
            200);
        QVERIFY(t.settle());
        t.show(MainWindow::Page::SyncLog);
        t.syncLogPage->refresh();
        QTableWidget *records = t.syncLogPage->records();
        QCOMPARE(records->item(0, 2)->text(), QStringLiteral("推送"));
        records->selectRow(0);
        testutil::findButton(t.syncLogPage, QStringLiteral("查看改动"))->click();
        VersionCompareDialog *dialog = openedDialog(t.syncLogPage);
        QVERIFY(dialog);
        const VersionInfo before = Database::instance().listVersions(1).first();
        QCOMPARE(before.reason, QStringLiteral("收到 127.0.0.1 推送前"));
        QCOMPARE(dialog->windowTitle(), QStringLiteral("版本 #%1 之后的改动").arg(before.id));
        QCOMPARE(dialog->summary()->text(), QStringLiteral("物品：新增 2，修改 0，删除 0"));
        dialog->close();

        // A record of the operator's own edit has no such version to open.
        QString text;
        put("items", {{"id", "i5"}, {"name", "新"}});
        Database::instance().logSync("qt-ui", "新增", "物品 i5");
        t.syncLogPage->refresh();
        records->selectRow(0);
        testutil::answerNextBox(QMessageBox::Ok, &text);
        testutil::findButton(t.syncLogPage, QStringLiteral("查看改动"))->click();
        QVERIFY(text.startsWith(QStringLiteral("推送、回滚、导入和恢复的记录才能查看改动")));
    }
};

TOVANIK_TEST_MAIN(VersionCompareTest)
#include "tst_versioncompare.moc"
