#include "app/paths.h"
#include "app/programcore.h"
#include "storage/database.h"
#include "storage/diskspace.h"
#include "sync/syncserver.h"
#include "testhttp.h"
#include "testmain.h"
#include "teststorage.h"
#include "testutil.h"
#include "ui/mainwindow.h"
#include "ui/restoredialog.h"

#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>
#include <QSpinBox>
#include <QtTest>

namespace {

// Any box that shows up is recorded and closed, so that a test that expects none cannot hang on one.
QTimer *watchForBoxes(QList<testutil::SeenBox> *seen)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, qApp, [seen] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            seen->append({box->windowTitle(), box->text()});
            box->reject();
        }
    });
    timer->start();
    return timer;
}

QJsonObject configFile()
{
    QFile file(configPath());
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

// Items with texts long enough that versions and compaction have something to weigh.
void addBulkyItems(int count)
{
    for (int i = 0; i < count; ++i)
        Database::instance().upsert(QStringLiteral("items"),
                                    {{"id", QStringLiteral("b%1").arg(i)}, {"name", QString(200, QChar(u'轴'))}},
                                    nullptr);
}

QStringList rowTexts(QTableWidget *table, int row)
{
    QStringList texts;
    for (int column = 0; column < table->columnCount(); ++column)
        texts << (table->item(row, column) ? table->item(row, column)->text() : QString());
    return texts;
}

QString itemName(const QString &id)
{
    const QJsonArray items = Database::instance().rows(QStringLiteral("items"));
    for (const QJsonValue &v : items) {
        if (v.toObject().value(QStringLiteral("id")).toString() == id)
            return v.toObject().value(QStringLiteral("name")).toString();
    }
    return QString();
}

// Waits for the restore dialog and its checks, records its rows, then chooses the row of this file.
void chooseInRestoreDialog(const QString &fileName, QList<QStringList> *rowsSeen)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, qApp, [timer, fileName, rowsSeen] {
        auto *dialog = qobject_cast<RestoreDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        auto *table = dialog->findChild<QTableWidget *>();
        const int checkColumn = table->columnCount() - 1;
        for (int row = 0; row < table->rowCount(); ++row) {
            if (table->item(row, checkColumn)->text() == QStringLiteral("检查中…"))
                return;
        }
        timer->stop();
        timer->deleteLater();
        for (int row = 0; row < table->rowCount(); ++row) {
            rowsSeen->append(rowTexts(table, row));
            if (table->item(row, 0)->text() == fileName)
                table->selectRow(row);
        }
        testutil::findButton(dialog, QStringLiteral("恢复所选备份"))->click();
    });
    timer->start();
}
} // namespace

class PagesTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Every case starts the program on an empty folder with a free port.
    void init() { QVERIFY(testutil::resetProgramFolder(testutil::quietConfig())); }
    void cleanup() { diskspace::setMargin(-1); }

    void historyHasItsColumns()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        QTableWidget *table = t.historyPage->versionList();
        QVERIFY(table);
        QStringList headers;
        for (int c = 0; c < table->columnCount(); ++c)
            headers << table->horizontalHeaderItem(c)->text();
        QCOMPARE(headers, QStringList({"版本", "时间", "原因", "来源", "物品", "流水"}));
        QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
        QCOMPARE(table->selectionMode(), QAbstractItemView::SingleSelection);

        window.show();
        t.show(MainWindow::Page::History);
        QVERIFY(Database::instance().saveVersion(QStringLiteral("界面手动存档"), QStringLiteral("qt-ui")));
        t.historyPage->refresh();
        QVERIFY(testutil::lastColumnFillsTheTable(table));
    }

    void emptyHistoryAsksToSelectAVersion()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        QCOMPARE(t.historyPage->versionList()->rowCount(), 0);

        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Ok}, &seen);
        testutil::findButton(t.historyPage, QStringLiteral("回滚到选中版本"))->click();
        QVERIFY(t.settle());
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.at(0).title, QStringLiteral("提示"));
        QCOMPARE(seen.at(0).text, QStringLiteral("请先选中一个版本"));
        QVERIFY(Database::instance().listVersions(200).isEmpty());
    }

    void versionRowShowsItsSource_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("shown");
        QTest::newRow("before an edit") << "qt"
                                        << "本机界面";
        QTest::newRow("by hand") << "qt-ui"
                                 << "本机界面";
        QTest::newRow("phone") << "192.168.1.23"
                               << "192.168.1.23";
        QTest::newRow("web") << "web"
                             << "网页端";
        QTest::newRow("system") << "system"
                                << "系统";
        QTest::newRow("empty") << ""
                               << "—";
        QTest::newRow("case differs") << "QT"
                                      << "QT";
    }

    void versionRowShowsItsSource()
    {
        QFETCH(QString, source);
        QFETCH(QString, shown);
        MainWindow window;
        const testutil::WindowParts t(window);
        Database &db = Database::instance();
        QVERIFY(!db.upsert("items", {{"id", "i1"}, {"name", "螺丝"}}, nullptr).isEmpty());
        QVERIFY(!db.upsert("items", {{"id", "i2"}, {"name", "螺母"}}, nullptr).isEmpty());
        QVERIFY(!db.upsert("transactions", {{"id", "t1"}, {"itemId", "i1"}}, nullptr).isEmpty());
        QVERIFY(db.saveVersion(QStringLiteral("某个原因"), source));
        t.historyPage->refresh();

        QCOMPARE(t.historyPage->versionList()->rowCount(), 1);
        const QStringList cells = rowTexts(t.historyPage->versionList(), 0);
        QCOMPARE(cells.at(0), QStringLiteral("#1"));
        QVERIFY(QDateTime::fromString(cells.at(1), QStringLiteral("yyyy-MM-dd HH:mm:ss")).isValid());
        QCOMPARE(cells.mid(2), QStringList({"某个原因", shown, "2", "1"}));
    }

    void snapshotByHandIsListedOnTop()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        QVERIFY(Database::instance().saveVersion(QStringLiteral("更早"), QStringLiteral("qt")));

        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Ok}, &seen);
        testutil::findButton(t.historyPage, QStringLiteral("立即存档一个版本"))->click();
        QVERIFY(t.settle());
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.at(0).title, QStringLiteral("已存档"));
        QCOMPARE(seen.at(0).text, QStringLiteral("已保存一个历史版本"));
        QCOMPARE(t.historyPage->versionList()->rowCount(), 2);
        QCOMPARE(rowTexts(t.historyPage->versionList(), 0).mid(2, 2), QStringList({"界面手动存档", "本机界面"}));
        QCOMPARE(t.historyPage->versionList()->item(0, 0)->text(), QStringLiteral("#2"));
    }

    void failedSnapshotIsNotAnnouncedAsSaved()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        Database::instance().close();

        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Ok}, &seen);
        testutil::findButton(t.historyPage, QStringLiteral("立即存档一个版本"))->click();
        QVERIFY(t.settle());
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.at(0).title, QStringLiteral("失败"));
        QCOMPARE(seen.at(0).text, QStringLiteral("存档失败"));
        QCOMPARE(t.historyPage->versionList()->rowCount(), 0);
    }

    // A version that would leave the disk too full is refused, and the operator told why.
    void snapshotOnAFullDiskSaysWhy()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        testutil::leaveNoRoom(databasePath());

        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Ok}, &seen);
        testutil::findButton(t.historyPage, QStringLiteral("立即存档一个版本"))->click();
        QVERIFY(t.settle());
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.at(0).title, QStringLiteral("失败"));
        QVERIFY2(seen.at(0).text.startsWith(QStringLiteral("存档失败：\n磁盘空间不足：需要约 ")),
                 qPrintable(seen.at(0).text));
        QCOMPARE(t.historyPage->versionList()->rowCount(), 0);
    }

    void rollbackRestoresAndIsRecorded()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        Database &db = Database::instance();
        QVERIFY(!db.upsert("items", {{"id", "i1"}, {"name", "旧名"}}, nullptr).isEmpty());
        QVERIFY(db.saveVersion(QStringLiteral("界面修改 物品 #i1 前"), QStringLiteral("qt")));
        QVERIFY(db.updateRecord("items", "i1", {{"name", "新名"}}, nullptr));
        QVERIFY(db.saveVersion(QStringLiteral("收到 192.168.1.5 推送前"), QStringLiteral("192.168.1.5")));
        t.show(MainWindow::Page::History);
        QCOMPARE(t.historyPage->versionList()->rowCount(), 2);
        t.historyPage->versionList()->selectRow(1);

        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Yes, QMessageBox::Ok}, &seen);
        testutil::findButton(t.historyPage, QStringLiteral("回滚到选中版本"))->click();
        QVERIFY(t.settle());

        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen.at(0).title, QStringLiteral("确认回滚"));
        QCOMPARE(
            seen.at(0).text,
            QStringLiteral("确定回滚到版本 #1 吗？\n\n当前数据会先自动存一份，回滚后手机同步下来就会变回这一版。"));
        QCOMPARE(seen.at(1).title, QStringLiteral("已回滚"));
        QCOMPARE(seen.at(1).text, QStringLiteral("已回滚到版本 #1"));
        QCOMPARE(itemName("i1"), QStringLiteral("旧名"));

        QTableWidget *versions = t.historyPage->versionList();
        QCOMPARE(versions->rowCount(), 4);
        QCOMPARE(versions->item(0, 0)->text(), QStringLiteral("#4"));
        QCOMPARE(rowTexts(versions, 0).mid(2, 2), QStringList({"回滚到版本 #1", "本机界面"}));
        QCOMPARE(rowTexts(versions, 1).mid(2, 2), QStringList({"回滚前自动存档", "本机界面"}));
        QCOMPARE(rowTexts(versions, 2).at(3), QStringLiteral("192.168.1.5"));

        QTableWidget *log = t.syncLogPage->records();
        QCOMPARE(log->rowCount(), 1);
        QCOMPARE(rowTexts(log, 0).mid(1), QStringList({"本机界面", "回滚", "回滚到版本 #1"}));
    }

    // Enter on a question whose Yes destroys answers No; Escape too.
    void destructiveQuestionsDefaultToNo_data()
    {
        QTest::addColumn<QString>("question");
        QTest::addColumn<int>("key");
        QTest::newRow("delete, Enter") << "确认删除" << int(Qt::Key_Return);
        QTest::newRow("rollback, Enter") << "确认回滚" << int(Qt::Key_Return);
        QTest::newRow("clear records, Enter") << "确认清除" << int(Qt::Key_Enter);
        QTest::newRow("delete, Escape") << "确认删除" << int(Qt::Key_Escape);
    }

    void destructiveQuestionsDefaultToNo()
    {
        QFETCH(QString, question);
        QFETCH(int, key);
        MainWindow window;
        const testutil::WindowParts t(window);
        Database &db = Database::instance();
        QVERIFY(!db.upsert("customers", {{"id", "k1"}, {"name", "赵六"}}, nullptr).isEmpty());
        QVERIFY(db.saveVersion(QStringLiteral("前"), QStringLiteral("qt")));
        QVERIFY(db.updateRecord("customers", "k1", {{"name", "钱七"}}, nullptr));
        db.logSync(QStringLiteral("10.0.0.1"), QStringLiteral("推送"), QStringLiteral("r"));
        window.show();

        QPushButton *trigger = nullptr;
        if (question == QStringLiteral("确认删除")) {
            t.dataPage->tableChooser()->setCurrentIndex(t.dataPage->tableChooser()->findData("customers"));
            testutil::selectRow(t.dataPage->view(), 0);
            trigger = testutil::findButton(t.dataPage, QStringLiteral("删除"));
        } else if (question == QStringLiteral("确认回滚")) {
            t.historyPage->refresh();
            t.historyPage->versionList()->selectRow(0);
            trigger = testutil::findButton(t.historyPage, QStringLiteral("回滚到选中版本"));
        } else {
            t.syncLogPage->refresh();
            trigger = testutil::findButton(t.syncLogPage, QStringLiteral("清除记录"));
        }
        QVERIFY(trigger);

        QString title;
        bool noIsDefault = false;
        bool noIsEscape = false;
        // Boxes after the question (a wrong answer's "done" box) are recorded and closed.
        QList<testutil::SeenBox> later;
        QTimer *watch = nullptr;
        QTimer::singleShot(50, qApp, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            title = box->windowTitle();
            noIsDefault = box->defaultButton() == box->button(QMessageBox::No);
            noIsEscape = box->escapeButton() == box->button(QMessageBox::No);
            watch = watchForBoxes(&later);
            QTest::keyClick(box, Qt::Key(key));
        });
        trigger->click();
        QVERIFY(t.settle());
        delete watch;
        QCOMPARE(title, question);
        QVERIFY(noIsDefault);
        QVERIFY(noIsEscape);
        QCOMPARE(later.size(), 0);
        QCOMPARE(db.rows("customers").size(), 1);
        QCOMPARE(db.rows("customers").at(0).toObject().value("name").toString(), QStringLiteral("钱七"));
        QCOMPARE(db.listVersions(200).size(), 1);
        QCOMPARE(db.recentSyncLog(100).size(), 1);
    }

    // The highlight stays on the version it was on, whatever row that version moves to.
    void historySelectionFollowsTheVersion()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        Database &db = Database::instance();
        for (int i = 0; i < 3; ++i)
            QVERIFY(db.saveVersion(QStringLiteral("v%1").arg(i + 1), QStringLiteral("qt")));
        t.show(MainWindow::Page::History);
        t.historyPage->versionList()->selectRow(1);
        QCOMPARE(t.historyPage->versionList()->item(1, 0)->text(), QStringLiteral("#2"));

        QVERIFY(db.saveVersion(QStringLiteral("v4"), QStringLiteral("qt")));
        t.historyPage->refresh();
        QCOMPARE(t.historyPage->versionList()->currentRow(), 2);
        QCOMPARE(t.historyPage->versionList()->item(2, 0)->text(), QStringLiteral("#2"));
        QCOMPARE(t.historyPage->versionList()->selectionModel()->selectedRows().size(), 1);

        QVERIFY(testutil::execOnFile(databasePath(), QStringLiteral("DELETE FROM versions WHERE id = 2")));
        t.historyPage->refresh();
        QCOMPARE(t.historyPage->versionList()->rowCount(), 3);
        QCOMPARE(t.historyPage->versionList()->currentRow(), -1);
        QVERIFY(t.historyPage->versionList()->selectionModel()->selectedRows().isEmpty());
    }

    void rollbackAnsweredNoChangesNothing()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        Database &db = Database::instance();
        QVERIFY(!db.upsert("items", {{"id", "i1"}, {"name", "旧名"}}, nullptr).isEmpty());
        QVERIFY(db.saveVersion(QStringLiteral("前"), QStringLiteral("qt")));
        QVERIFY(db.updateRecord("items", "i1", {{"name", "新名"}}, nullptr));
        t.historyPage->refresh();
        t.historyPage->versionList()->selectRow(0);

        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::No}, &seen);
        testutil::findButton(t.historyPage, QStringLiteral("回滚到选中版本"))->click();
        QVERIFY(t.settle());
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.at(0).title, QStringLiteral("确认回滚"));
        QCOMPARE(itemName("i1"), QStringLiteral("新名"));
        QCOMPARE(db.listVersions(200).size(), 1);
        QCOMPARE(t.historyPage->versionList()->rowCount(), 1);
        QVERIFY(db.recentSyncLog(100).isEmpty());
    }

    void failedRollbackWarnsAndLogsNothing_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("text");
        QTest::newRow("damaged version") << QString() << QStringLiteral("回滚失败");
        QTest::newRow("locked") << "locked" << QStringLiteral("回滚失败：数据库正被其他程序占用，请稍后重试");
    }

    void failedRollbackWarnsAndLogsNothing()
    {
        QFETCH(QString, fault);
        QFETCH(QString, text);
        MainWindow window;
        const testutil::WindowParts t(window);
        Database &db = Database::instance();
        QVERIFY(!db.upsert("items", {{"id", "i1"}, {"name", "旧名"}}, nullptr).isEmpty());
        QVERIFY(db.saveVersion(QStringLiteral("前"), QStringLiteral("qt")));
        QVERIFY(db.updateRecord("items", "i1", {{"name", "新名"}}, nullptr));
        if (fault.isEmpty())
            QVERIFY(testutil::execOnFile(databasePath(), QStringLiteral("UPDATE versions SET snapshot = 'kaputt'")));
        t.historyPage->refresh();
        t.historyPage->versionList()->selectRow(0);

        testutil::StorageFault storageFault(fault, db.fileName());
        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Yes, QMessageBox::Ok}, &seen);
        testutil::findButton(t.historyPage, QStringLiteral("回滚到选中版本"))->click();
        QVERIFY(t.settle());
        storageFault.lift();
        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen.at(1).title, QStringLiteral("失败"));
        QVERIFY2(seen.at(1).text.startsWith(text), qPrintable(seen.at(1).text));
        QCOMPARE(itemName("i1"), QStringLiteral("新名"));
        QCOMPARE(db.listVersions(200).size(), 1);
        QVERIFY(db.recentSyncLog(100).isEmpty());
    }

    // In a started program: items b1 and b2 in today's backup, then "late" added; an older copy is damaged.
    static QString prepareBackups(QString *damagedName)
    {
        Database &db = Database::instance();
        const QString today =
            QDir(db.backupFolder())
                .absoluteFilePath(
                    QStringLiteral("plindor-%1.db").arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd"))));
        QFile::remove(today);
        for (const char *id : {"b1", "b2"})
            db.upsert("items", {{"id", id}, {"name", QString(100, u'备')}}, nullptr);
        for (int i = 0; i < 100; ++i)
            db.upsert("customers", {{"id", QStringLiteral("c%1").arg(i)}, {"name", QString(100, u'客')}}, nullptr);
        if (db.dailyBackup() != today)
            return QString();
        *damagedName = QStringLiteral("plindor-20200101.db");
        if (!testutil::damageCopy(today, QDir(db.backupFolder()).absoluteFilePath(*damagedName)))
            return QString();
        // Its rows all readable, one index page broken: only the check finds it.
        const QString indexDamaged = QDir(db.backupFolder()).absoluteFilePath(QStringLiteral("plindor-20200102.db"));
        if (!QFile::copy(today, indexDamaged))
            return QString();
        const int indexPage =
            testutil::valueFromFile(
                indexDamaged,
                QStringLiteral("SELECT rootpage FROM sqlite_master WHERE name = 'sqlite_autoindex_customers_1'"))
                .toInt();
        QFile file(indexDamaged);
        if (indexPage < 2 || !file.open(QIODevice::ReadWrite) || !file.seek(qint64(indexPage - 1) * 4096)
            || file.write(QByteArray(4096, 'Z')) != 4096)
            return QString();
        db.upsert("items", {{"id", "late"}, {"name", "新到"}}, nullptr);
        return QFileInfo(today).fileName();
    }

    void restoreFromBackupInTheWindow()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        QString damaged;
        const QString backup = prepareBackups(&damaged);
        QVERIFY(!backup.isEmpty());
        QCOMPARE(testutil::rowCount(t.dataPage->view()), 0);
        t.dataPage->refresh();
        QCOMPARE(testutil::rowCount(t.dataPage->view()), 3);
        QPushButton *button = testutil::findButton(t.historyPage, QStringLiteral("从备份恢复…"));
        QVERIFY(button);
        QCOMPARE(button->objectName(), QStringLiteral("plain"));

        const QString indexDamaged = QStringLiteral("plindor-20200102.db");
        QList<QStringList> rows;
        chooseInRestoreDialog(backup, &rows);
        QList<testutil::SeenBox> seen;
        // The restored file lasts under its name before the operator is told.
        testutil::FileSteps steps(QFileInfo(databasePath()).absolutePath());
        testutil::answerBoxes({QMessageBox::Yes, QMessageBox::Ok}, [&](const testutil::SeenBox &box) {
            seen << box;
            steps.seen << QStringLiteral("box ") + box.title;
        });
        button->click();
        QVERIFY(t.settle());
        QCOMPARE(steps.seen.mid(steps.seen.size() - 3),
                 QStringList({"rename plindor.db", "flush folder .", "box 已恢复"}));

        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows.at(0).mid(0, 1), QStringList{backup});
        QCOMPARE(rows.at(0).mid(3), QStringList({"2", "0", "0", "0", "100", "0", "通过"}));
        QCOMPARE(rows.at(2).mid(0, 2), QStringList({damaged, "2020-01-01"}));
        QCOMPARE(rows.at(1).mid(0, 2), QStringList({indexDamaged, "2020-01-02"}));
        QCOMPARE(rows.at(1).mid(3, 6), QStringList({"2", "0", "0", "0", "100", "0"}));
        QVERIFY2(rows.at(1).last().startsWith(QStringLiteral("未通过: ")), qPrintable(rows.at(1).last()));
        QCOMPARE(rows.at(2).mid(3, 1), QStringList{QStringLiteral("—")});
        QVERIFY2(rows.at(2).last().startsWith(QStringLiteral("无法读取: 读不出物品")), qPrintable(rows.at(2).last()));

        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen.at(0).title, QStringLiteral("确认恢复"));
        QVERIFY(seen.at(0).text.startsWith(QStringLiteral("确定从备份 %1 恢复吗？").arg(backup)));
        QCOMPARE(seen.at(1).title, QStringLiteral("已恢复"));
        const QList<BackupInfo> copies = Database::listBackups(Database::instance().backupFolder());
        QCOMPARE(copies.size(), 4);
        QVERIFY(copies.first().setAside);
        QVERIFY(seen.at(1).text.contains(copies.first().path));

        // Every page shows the restored data, and the restore is on record.
        t.show(MainWindow::Page::Data);
        QCOMPARE(testutil::rowCount(t.dataPage->view()), 2);
        t.show(MainWindow::Page::History);
        QCOMPARE(itemName("late"), QString());
        QCOMPARE(t.historyPage->versionList()->rowCount(), Database::instance().listVersions(200).size());
        QCOMPARE(rowTexts(t.syncLogPage->records(), 0).mid(1),
                 QStringList({"本机界面", "恢复", QStringLiteral("从备份 %1 恢复").arg(backup)}));
        QVERIFY(t.syncLogPage->programLogView()->toPlainText().contains(
            QStringLiteral("已从备份 %1 恢复数据库，原数据库另存为 %2").arg(backup, copies.first().path)));
        QVERIFY(t.server->refusal().isEmpty());
        QVERIFY(t.refreshTimer->isActive());
        QVERIFY(t.statusCard->text().contains(QStringLiteral("物品 2 ")));
    }

    void restoreOfADamagedCopyTellsWhy()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        QString damaged;
        QVERIFY(!prepareBackups(&damaged).isEmpty());
        const QJsonArray before = Database::instance().rows(QStringLiteral("items"));

        QList<QStringList> rows;
        chooseInRestoreDialog(damaged, &rows);
        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Yes, QMessageBox::Ok}, &seen);
        testutil::findButton(t.historyPage, QStringLiteral("从备份恢复…"))->click();
        QVERIFY(t.settle());

        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen.at(1).title, QStringLiteral("恢复失败"));
        QVERIFY2(seen.at(1).text.contains(QStringLiteral("所选备份已损坏或不是主库备份")), qPrintable(seen.at(1).text));
        QVERIFY(seen.at(1).text.contains(QStringLiteral("当前数据库未改动")));
        QCOMPARE(Database::instance().rows(QStringLiteral("items")), before);
        QVERIFY(Database::instance().recentSyncLog(100).isEmpty());
        QVERIFY(t.syncLogPage->programLogView()->toPlainText().contains(
            QStringLiteral("从备份 %1 恢复失败: 所选备份已损坏").arg(damaged)));
        QCOMPARE(Database::listBackups(Database::instance().backupFolder()).size(), 3);
        QVERIFY(t.server->refusal().isEmpty());
    }

    // A database that fails its start-up check is closed; restoring from the window is what mends it.
    void restoreOverADatabaseThatFailedItsCheck()
    {
        Database &db = Database::instance();
        QString error;
        QVERIFY2(db.open(databasePath(), &error), qPrintable(error));
        QVERIFY(!db.upsert(QStringLiteral("items"), {{"id", "kept"}, {"name", "轴承"}}, nullptr).isEmpty());
        const QString backup = QFileInfo(db.dailyBackup()).fileName();
        QVERIFY(!backup.isEmpty());
        db.close();
        {
            QFile file(databasePath());
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(QByteArray("库存清单，第一页。").repeated(500));
        }

        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Ok}, &seen);
        MainWindow window;
        const testutil::WindowParts t(window);
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.at(0).title, QStringLiteral("数据库打开失败"));
        QVERIFY(!db.unusableReason().isEmpty());

        QList<QStringList> rows;
        chooseInRestoreDialog(backup, &rows);
        seen.clear();
        testutil::answerBoxes({QMessageBox::Yes, QMessageBox::Ok}, &seen);
        testutil::findButton(t.historyPage, QStringLiteral("从备份恢复…"))->click();
        QVERIFY(t.settle());

        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen.at(1).title, QStringLiteral("已恢复"));
        QVERIFY2(db.unusableReason().isEmpty(), qPrintable(db.unusableReason()));
        QCOMPARE(itemName("kept"), QStringLiteral("轴承"));
        t.show(MainWindow::Page::Data);
        QCOMPARE(testutil::rowCount(t.dataPage->view()), 1);
        QVERIFY(!t.statusCard->text().contains(QStringLiteral("数据库不可用")));
    }

    void restoreQuestionDefaultsToNo()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        QString damaged;
        const QString backup = prepareBackups(&damaged);
        QVERIFY(!backup.isEmpty());

        QList<QStringList> rows;
        chooseInRestoreDialog(backup, &rows);
        // Enter on the question takes its default button.
        bool defaultIsNo = false;
        auto *timer = new QTimer(qApp);
        timer->setInterval(10);
        connect(timer, &QTimer::timeout, qApp, [timer, &defaultIsNo] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            timer->stop();
            timer->deleteLater();
            defaultIsNo = box->defaultButton() == box->button(QMessageBox::No);
            QTest::keyClick(box, Qt::Key_Return);
        });
        timer->start();
        testutil::findButton(t.historyPage, QStringLiteral("从备份恢复…"))->click();
        QVERIFY(t.settle());

        QVERIFY(defaultIsNo);
        QCOMPARE(rows.size(), 3);
        QCOMPARE(Database::instance().rows(QStringLiteral("items")).size(), 3);
        QCOMPARE(Database::listBackups(Database::instance().backupFolder()).size(), 3);
        QVERIFY(Database::instance().recentSyncLog(100).isEmpty());
    }

    void restoreWithoutBackupsOffersNothing()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        QVERIFY(QDir(Database::instance().backupFolder()).removeRecursively());
        QString hint;
        bool restoreEnabled = true;
        int rows = -1;
        auto *timer = new QTimer(qApp);
        timer->setInterval(10);
        connect(timer, &QTimer::timeout, qApp, [&, timer] {
            auto *dialog = qobject_cast<RestoreDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            timer->stop();
            timer->deleteLater();
            rows = dialog->findChild<QTableWidget *>()->rowCount();
            restoreEnabled = testutil::findButton(dialog, QStringLiteral("恢复所选备份"))->isEnabled();
            for (QLabel *label : dialog->findChildren<QLabel *>()) {
                if (label->objectName() == QLatin1String("muted")
                    && !label->text().startsWith(QStringLiteral("备份文件夹:")))
                    hint = label->text();
            }
            testutil::findButton(dialog, QStringLiteral("关闭"))->click();
            QVERIFY(t.settle());
        });
        timer->start();
        testutil::findButton(t.historyPage, QStringLiteral("从备份恢复…"))->click();
        QVERIFY(t.settle());
        QCOMPARE(rows, 0);
        QVERIFY(!restoreEnabled);
        QCOMPARE(hint, QStringLiteral("备份文件夹中还没有备份"));
        QVERIFY(Database::instance().recentSyncLog(100).isEmpty());
    }

    void historyShowsAtMost200Versions()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        for (int i = 0; i < 205; ++i)
            QVERIFY(Database::instance().saveVersion(QStringLiteral("v%1").arg(i + 1), QStringLiteral("qt")));
        t.historyPage->refresh();
        QCOMPARE(t.historyPage->versionList()->rowCount(), 200);
        QCOMPARE(t.historyPage->versionList()->item(0, 0)->text(), QStringLiteral("#205"));
        QCOMPARE(t.historyPage->versionList()->item(199, 0)->text(), QStringLiteral("#6"));
    }

    void syncLogHasItsLayout()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        QTableWidget *table = t.syncLogPage->records();
        QVERIFY(table);
        QStringList headers;
        for (int c = 0; c < table->columnCount(); ++c)
            headers << table->horizontalHeaderItem(c)->text();
        QCOMPARE(headers, QStringList({"时间", "来源 IP", "动作", "说明"}));
        QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
        QVERIFY(t.syncLogPage->programLogView()->isReadOnly());
        QCOMPARE(t.syncLogPage->programLogView()->maximumHeight(), 160);
        QVERIFY(t.syncLogPage->isAncestorOf(t.syncLogPage->programLogView()));

        window.show();
        t.show(MainWindow::Page::SyncLog);
        Database::instance().logSync(QStringLiteral("10.0.0.1"), QStringLiteral("拉取"), QStringLiteral("x"));
        t.syncLogPage->refresh();
        QVERIFY(testutil::lastColumnFillsTheTable(table));
    }

    void syncLogRowIsLabelled_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("shownPeer");
        QTest::addColumn<QString>("shownAction");
        QTest::newRow("export") << "192.168.1.9"
                                << "export"
                                << "192.168.1.9"
                                << "拉取";
        QTest::newRow("pull word") << "10.0.0.2"
                                   << "拉取"
                                   << "10.0.0.2"
                                   << "拉取";
        QTest::newRow("import") << "10.0.0.2"
                                << "import"
                                << "10.0.0.2"
                                << "推送";
        QTest::newRow("deny") << "10.0.0.2"
                              << "deny"
                              << "10.0.0.2"
                              << "拒绝";
        QTest::newRow("update") << "qt-ui"
                                << "update"
                                << "本机界面"
                                << "修改";
        QTest::newRow("insert") << "qt"
                                << "insert"
                                << "本机界面"
                                << "新增";
        QTest::newRow("delete") << "web"
                                << "delete"
                                << "网页端"
                                << "删除";
        QTest::newRow("rollback") << "qt-ui"
                                  << "rollback"
                                  << "本机界面"
                                  << "回滚";
        QTest::newRow("snapshot") << "qt-ui"
                                  << "snapshot"
                                  << "本机界面"
                                  << "存档";
        QTest::newRow("empty peer and action") << ""
                                               << ""
                                               << "—"
                                               << "—";
        QTest::newRow("unknown words") << "Web"
                                       << "Export"
                                       << "Web"
                                       << "Export";
    }

    void syncLogRowIsLabelled()
    {
        QFETCH(QString, peer);
        QFETCH(QString, action);
        QFETCH(QString, shownPeer);
        QFETCH(QString, shownAction);
        MainWindow window;
        const testutil::WindowParts t(window);
        Database::instance().logSync(peer, action, QStringLiteral("说明文字"));
        t.show(MainWindow::Page::SyncLog);
        QCOMPARE(t.syncLogPage->records()->rowCount(), 1);
        const QStringList cells = rowTexts(t.syncLogPage->records(), 0);
        QVERIFY(QDateTime::fromString(cells.at(0), QStringLiteral("yyyy-MM-dd HH:mm:ss")).isValid());
        QCOMPARE(cells.mid(1), QStringList({shownPeer, shownAction, "说明文字"}));
    }

    void syncLogShowsTheNewest100()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        for (int i = 1; i <= 150; ++i)
            Database::instance().logSync(QStringLiteral("10.0.0.1"), QStringLiteral("拉取"),
                                         QStringLiteral("n%1").arg(i));
        t.syncLogPage->refresh();
        QCOMPARE(t.syncLogPage->records()->rowCount(), 100);
        QCOMPARE(t.syncLogPage->records()->item(0, 3)->text(), QStringLiteral("n150"));
        QCOMPARE(t.syncLogPage->records()->item(99, 3)->text(), QStringLiteral("n51"));
    }

    void clearingAnEmptyTableAsksNothing()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        // Written after the last refresh: the check goes by what the operator sees.
        Database::instance().logSync(QStringLiteral("10.0.0.1"), QStringLiteral("拉取"), QStringLiteral("x"));
        QCOMPARE(t.syncLogPage->records()->rowCount(), 0);

        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Ok}, &seen);
        testutil::findButton(t.syncLogPage, QStringLiteral("清除记录"))->click();
        QVERIFY(t.settle());
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.at(0).title, QStringLiteral("提示"));
        QCOMPARE(seen.at(0).text, QStringLiteral("手机同步记录已经是空的了"));
        QCOMPARE(Database::instance().recentSyncLog(100).size(), 1);
    }

    void clearingRecordsAfterTheAnswer_data()
    {
        QTest::addColumn<QMessageBox::StandardButton>("answer");
        QTest::addColumn<int>("rowsLeft");
        QTest::addColumn<int>("newLogLines");
        QTest::newRow("yes") << QMessageBox::Yes << 0 << 1;
        QTest::newRow("no") << QMessageBox::No << 3 << 0;
    }

    void clearingRecordsAfterTheAnswer()
    {
        QFETCH(QMessageBox::StandardButton, answer);
        QFETCH(int, rowsLeft);
        QFETCH(int, newLogLines);
        MainWindow window;
        const testutil::WindowParts t(window);
        Database &db = Database::instance();
        for (int i = 0; i < 3; ++i)
            db.logSync(QStringLiteral("10.0.0.1"), QStringLiteral("推送"), QStringLiteral("r%1").arg(i));
        t.syncLogPage->refresh();
        const QStringList linesBefore = t.syncLogPage->programLogView()->toPlainText().split('\n', Qt::SkipEmptyParts);

        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({answer}, &seen);
        testutil::findButton(t.syncLogPage, QStringLiteral("清除记录"))->click();
        QVERIFY(t.settle());
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.at(0).title, QStringLiteral("确认清除"));
        QCOMPARE(seen.at(0).text,
                 QStringLiteral("确定清除全部手机同步记录吗？\n\n（只清这份连接记录，物品、流水等业务数据不受影响）"));

        QCOMPARE(t.syncLogPage->records()->rowCount(), rowsLeft);
        QCOMPARE(db.recentSyncLog(100).size(), rowsLeft);
        const QStringList lines = t.syncLogPage->programLogView()->toPlainText().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), linesBefore.size() + newLogLines);
        if (newLogLines) {
            const QRegularExpression expected(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] 已清除手机同步记录$"));
            QVERIFY2(expected.match(lines.last()).hasMatch(), qPrintable(lines.last()));
        }
    }

    void failedClearingIsNotLoggedAsDone()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        Database::instance().logSync(QStringLiteral("10.0.0.1"), QStringLiteral("推送"), QStringLiteral("r"));
        QVERIFY(testutil::execOnFile(
            databasePath(),
            QStringLiteral("CREATE TRIGGER keep_log BEFORE DELETE ON sync_log BEGIN SELECT RAISE(ABORT, 'kept'); END")));
        t.syncLogPage->refresh();

        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Yes}, &seen);
        testutil::findButton(t.syncLogPage, QStringLiteral("清除记录"))->click();
        QVERIFY(t.settle());
        QCOMPARE(t.syncLogPage->records()->rowCount(), 1);
        const QString lastLine = t.syncLogPage->programLogView()->toPlainText().split('\n', Qt::SkipEmptyParts).last();
        QVERIFY2(lastLine.endsWith(QStringLiteral("] 清除手机同步记录失败")), qPrintable(lastLine));
    }

    void clearingTheProgramLogKeepsTheRecords()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        Q_EMIT t.server->logMessage(QStringLiteral("某条程序日志"));
        QVERIFY(t.syncLogPage->programLogView()->toPlainText().contains(QStringLiteral("某条程序日志")));
        Database::instance().logSync(QStringLiteral("10.0.0.1"), QStringLiteral("拉取"), QStringLiteral("x"));
        t.syncLogPage->refresh();

        QList<testutil::SeenBox> seen;
        QTimer *watch = watchForBoxes(&seen);
        testutil::findButton(t.syncLogPage, QStringLiteral("清除日志"))->click();
        QVERIFY(t.settle());
        QTest::qWait(50);
        delete watch;
        QVERIFY(seen.isEmpty());
        QVERIFY(t.syncLogPage->programLogView()->toPlainText().isEmpty());
        QCOMPARE(t.syncLogPage->records()->rowCount(), 1);
        QCOMPARE(Database::instance().recentSyncLog(100).size(), 1);
    }

    void refreshButtonUpdatesTableAndStatusCard()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        QVERIFY(t.window.isServiceRunning());
        const int port = t.window.currentSettings().value("syncPort").toInt();
        QVERIFY(!Database::instance().upsert("items", {{"id", "i1"}, {"name", "螺丝"}}, nullptr).isEmpty());
        Database::instance().logSync(QStringLiteral("10.0.0.1"), QStringLiteral("拉取"), QStringLiteral("x"));
        QCOMPARE(t.syncLogPage->records()->rowCount(), 0);

        testutil::findButton(t.syncLogPage, QStringLiteral("刷新"))->click();
        QVERIFY(t.settle());
        QCOMPARE(t.syncLogPage->records()->rowCount(), 1);
        QCOMPARE(t.statusCard->text(), QStringLiteral("● 服务运行中\n端口 %1\n物品 1 · 流水 0").arg(port));
    }

    void activityAndTimerRefreshTableAndStatusCard()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        const int port = t.window.currentSettings().value("syncPort").toInt();
        QCOMPARE(t.refreshTimer->interval(), 15000);
        QVERIFY(t.refreshTimer->isActive());

        QVERIFY(!Database::instance().upsert("items", {{"id", "i1"}, {"name", "螺丝"}}, nullptr).isEmpty());
        Database::instance().logSync(QStringLiteral("10.0.0.1"), QStringLiteral("拉取"), QStringLiteral("a"));
        Q_EMIT t.server->activity(QStringLiteral("10.0.0.1"), QStringLiteral("拉取"), QStringLiteral("a"));
        QCOMPARE(t.syncLogPage->records()->rowCount(), 0);
        QTRY_COMPARE(t.syncLogPage->records()->rowCount(), 1);
        QTRY_COMPARE(t.statusCard->text(), QStringLiteral("● 服务运行中\n端口 %1\n物品 1 · 流水 0").arg(port));

        QVERIFY(!Database::instance().upsert("transactions", {{"id", "t1"}, {"itemId", "i1"}}, nullptr).isEmpty());
        Database::instance().logSync(QStringLiteral("10.0.0.1"), QStringLiteral("推送"), QStringLiteral("b"));
        QVERIFY(QMetaObject::invokeMethod(t.refreshTimer, "timeout"));
        QCOMPARE(t.syncLogPage->records()->rowCount(), 2);
        QTRY_COMPARE(t.statusCard->text(), QStringLiteral("● 服务运行中\n端口 %1\n物品 1 · 流水 1").arg(port));
    }

    // Keeping fewer versions asks first, naming how many go; yes removes the oldest at once, writes the
    // two numbers into the settings file and the history's hint follows; no changes nothing.
    void loweringTheKeptNumbersAsksFirst_data()
    {
        QTest::addColumn<bool>("confirmed");
        QTest::newRow("yes") << true;
        QTest::newRow("no") << false;
    }

    void loweringTheKeptNumbersAsksFirst()
    {
        QFETCH(bool, confirmed);
        MainWindow window;
        const testutil::WindowParts t(window);
        for (int i = 0; i < 15; ++i)
            QVERIFY(Database::instance().saveVersion(QStringLiteral("v%1").arg(i), QStringLiteral("qt")));
        QCOMPARE(configFile().size(), 4);
        QCOMPARE(t.settingsPage->keepVersionsField()->value(), 200);
        QCOMPARE(t.settingsPage->keepBackupsField()->value(), 30);

        t.settingsPage->keepVersionsField()->setValue(10);
        QList<testutil::SeenBox> seen;
        if (confirmed)
            testutil::answerBoxes({QMessageBox::Yes, QMessageBox::Ok}, &seen);
        else
            testutil::answerBoxes({QMessageBox::No}, &seen);
        testutil::findButton(t.settingsPage, QStringLiteral("保存保留数量"))->click();
        QVERIFY(t.settle());

        QCOMPARE(seen.size(), confirmed ? 2 : 1);
        QCOMPARE(seen.at(0).title, QStringLiteral("确认删除"));
        QVERIFY2(seen.at(0).text.contains(QStringLiteral("最早的 5 个历史版本（约 ")), qPrintable(seen.at(0).text));
        const QList<VersionInfo> versions = Database::instance().listVersions(1000);
        QLabel *hint = nullptr;
        for (QLabel *label : t.historyPage->findChildren<QLabel *>()) {
            if (label->text().contains(QStringLiteral("最多保留")))
                hint = label;
        }
        QVERIFY(hint);
        if (confirmed) {
            QCOMPARE(versions.size(), 10);
            QCOMPARE(versions.last().reason, QStringLiteral("v5"));
            QCOMPARE(configFile().value("keepVersions").toInt(), 10);
            QCOMPARE(configFile().value("keepBackups").toInt(), 30);
            QCOMPARE(configFile().size(), 6);
            QCOMPARE(hint->text(), QStringLiteral("每次手机推送、界面改动前都会自动存档，最多保留 10 个"));
            QCOMPARE(seen.at(1).title, QStringLiteral("已保存"));
        } else {
            QCOMPARE(versions.size(), 15);
            QCOMPARE(configFile().size(), 4);
            QCOMPARE(t.settingsPage->keepVersionsField()->value(), 200);
            QCOMPARE(hint->text(), QStringLiteral("每次手机推送、界面改动前都会自动存档，最多保留 200 个"));
        }
    }

    // Compaction asks, naming the room it needs and what it frees; meanwhile phones are answered 503,
    // afterwards the file is smaller and every row is there.
    void compactionAsksThenShrinksTheFile()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        Database &db = Database::instance();
        addBulkyItems(300);
        for (int i = 0; i < 20; ++i)
            QVERIFY(db.saveVersion(QStringLiteral("v%1").arg(i), QStringLiteral("qt")));
        window.programCore().setRetention(10, 30, {});
        QVERIFY(t.settle());
        const qint64 before = QFileInfo(databasePath()).size() + QFileInfo(databasePath() + "-wal").size();

        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Yes, QMessageBox::Ok}, &seen);
        testutil::findButton(t.settingsPage, QStringLiteral("压缩数据库"))->click();
        QVERIFY(t.settle());
        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen.at(0).title, QStringLiteral("压缩数据库"));
        QVERIFY(seen.at(0).text.contains(QStringLiteral("需要约 ")));
        QVERIFY(seen.at(0).text.contains(QStringLiteral("可释放约 ")));
        QCOMPARE(seen.at(1).title, QStringLiteral("已压缩"));
        QVERIFY(QFileInfo(databasePath()).size() < before);
        QCOMPARE(db.counts().value(QStringLiteral("items")).toInt(), 300);
        QCOMPARE(db.listVersions(1000).size(), 10);
        QVERIFY(t.settingsPage->storageFigures()->text().contains(QStringLiteral("历史版本：10 个")));

        // A phone asking while the copy is written is told to come back later.
        const quint16 port = quint16(window.currentSettings().value("syncPort").toInt());
        testutil::Reply meanwhile;
        bool compacted = false;
        window.programCore().compactDatabase(
            [&](const QString &, qint64, qint64) {
                if (meanwhile.status == 0)
                    meanwhile = testutil::exchange(port, testutil::requestBytes("GET", "/info", {}, "TESTKEY"));
            },
            [&](bool done, qint64, qint64, const QString &) { compacted = done; });
        QVERIFY(t.settle());
        QVERIFY(compacted);
        QCOMPARE(meanwhile.status, 503);
        QCOMPARE(meanwhile.json().value("error").toString(), QStringLiteral("主库正在压缩数据库，请稍后再试"));
        QCOMPARE(testutil::exchange(port, testutil::requestBytes("GET", "/info", {}, "TESTKEY")).status, 200);
    }

    void compactionWithoutRoomIsRefused()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        addBulkyItems(50);
        const qint64 before = QFileInfo(databasePath()).size();
        testutil::leaveNoRoom(databasePath());

        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Ok}, &seen);
        testutil::findButton(t.settingsPage, QStringLiteral("压缩数据库"))->click();
        QVERIFY(t.settle());
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.at(0).title, QStringLiteral("无法压缩数据库"));
        QVERIFY2(seen.at(0).text.startsWith(QStringLiteral("磁盘空间不足：需要约 ")), qPrintable(seen.at(0).text));
        QCOMPARE(QFileInfo(databasePath()).size(), before);
        QVERIFY(!QFile::exists(databasePath() + QStringLiteral(".compacting")));
    }

    // Below the warning level the storage line turns to the warning colour, the log says how many more
    // changes fit and one box says so; crossing again the same day logs again but asks no second box.
    void diskWarningOnceADay()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        auto *line = window.findChild<QLabel *>(QStringLiteral("storageLine"));
        QVERIFY(line);
        QVERIFY(line->text().contains(QStringLiteral("剩余 ")));
        QVERIFY(!line->text().startsWith(QStringLiteral("⚠")));

        testutil::leaveNoRoom(databasePath());
        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Ok}, &seen);
        window.programCore().refreshStorage();
        QTRY_COMPARE(seen.size(), 1);
        QCOMPARE(seen.at(0).title, QStringLiteral("磁盘空间不多了"));
        QVERIFY(seen.at(0).text.contains(QStringLiteral("只够再保存约 0 次改动")));
        QVERIFY(line->text().startsWith(QStringLiteral("⚠")));
        QVERIFY(line->styleSheet().contains(QStringLiteral("#E67E22")));
        QCOMPARE(window.programLog().count(QStringLiteral("只够再保存约")), 1);

        diskspace::setMargin(-1);
        window.programCore().refreshStorage();
        QVERIFY(!line->text().startsWith(QStringLiteral("⚠")));
        QVERIFY(window.programLog().contains(QStringLiteral("磁盘空间已够用")));

        testutil::leaveNoRoom(databasePath());
        QList<testutil::SeenBox> later;
        QTimer *watch = watchForBoxes(&later);
        window.programCore().refreshStorage();
        QTest::qWait(100);
        delete watch;
        QCOMPARE(later.size(), 0);
        QCOMPARE(window.programLog().count(QStringLiteral("只够再保存约")), 2);
    }
};

TOVANIK_TEST_MAIN(PagesTest)
#include "tst_pages.moc"
