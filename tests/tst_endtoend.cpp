// The whole program on one folder: the operator's editor, a phone's pull and push over real HTTP,
// the pages that show them, a rollback, and a restart that finds everything again.
#include "app/paths.h"
#include "storage/database.h"
#include "testhttp.h"
#include "testmain.h"
#include "testutil.h"
#include "ui/mainwindow.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFormLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScrollBar>
#include <QTcpSocket>
#include <QtTest>

#include <functional>
#include <memory>
#include <vector>

namespace {

QByteArray requestBytes(const QByteArray &method, const QByteArray &path, const QString &key,
                        const QByteArray &body = QByteArray())
{
    QByteArray request = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    request += "X-Sync-Key: " + key.toUtf8() + "\r\n";
    if (!body.isEmpty())
        request += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    return request + "\r\n" + body;
}

QWidget *formField(QDialog *dialog, const QString &label)
{
    auto *form = dialog->findChild<QFormLayout *>();
    if (!form)
        return nullptr;
    for (int row = 0; row < form->rowCount(); ++row) {
        QLayoutItem *labelItem = form->itemAt(row, QFormLayout::LabelRole);
        QLayoutItem *fieldItem = form->itemAt(row, QFormLayout::FieldRole);
        auto *labelWidget = labelItem ? qobject_cast<QLabel *>(labelItem->widget()) : nullptr;
        if (labelWidget && fieldItem && labelWidget->text() == label)
            return fieldItem->widget();
    }
    return nullptr;
}

// Fills the editor the way the operator does: typed texts, a choice picked by its shown text, then "保存".
void fillEditorAndSave(QDialog *dialog, const QHash<QString, QString> &texts, const QHash<QString, QString> &choices)
{
    for (auto it = texts.cbegin(); it != texts.cend(); ++it) {
        if (auto *edit = qobject_cast<QLineEdit *>(formField(dialog, it.key())))
            edit->setText(it.value());
    }
    for (auto it = choices.cbegin(); it != choices.cend(); ++it) {
        if (auto *combo = qobject_cast<QComboBox *>(formField(dialog, it.key()))) {
            for (int i = 0; i < combo->count(); ++i) {
                if (combo->itemText(i).trimmed() == it.value())
                    combo->setCurrentIndex(i);
            }
        }
    }
    const auto buttons = dialog->findChildren<QPushButton *>();
    for (QPushButton *b : buttons) {
        if (b->text() == QStringLiteral("保存")) {
            b->click();
            return;
        }
    }
    dialog->reject();
}

using testutil::cell;
using testutil::columnOf;
using testutil::columnTexts;

QJsonObject findById(const QJsonArray &rows, const QString &id)
{
    for (const QJsonValue &v : rows) {
        if (v.toObject().value(QStringLiteral("id")).toString() == id)
            return v.toObject();
    }
    return QJsonObject();
}

QJsonObject findByName(const QJsonArray &rows, const QString &name)
{
    for (const QJsonValue &v : rows) {
        if (v.toObject().value(QStringLiteral("name")).toString() == name)
            return v.toObject();
    }
    return QJsonObject();
}

void selectTable(const testutil::WindowParts &t, const QString &key)
{
    t.dataPage->tableChooser()->setCurrentIndex(t.dataPage->tableChooser()->findData(key));
}

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void wholeProgram()
    {
        // A fresh program folder: no database, a config without a key so that one is generated.
        const quint16 port = testutil::freePort();
        QVERIFY(testutil::resetProgramFolder({{"syncPort", port}, {"publicHost", "203.0.113.9"}}));

        const QString categoryName = QStringLiteral("电子元件");
        const QString itemName = QStringLiteral("电阻 10K");
        const QString phoneItemName = QStringLiteral("电阻 10K（手机盘点）");
        QString key;
        QString itemId;
        QString categoryId;

        {
            auto window = std::make_unique<MainWindow>();
            const testutil::WindowParts t(*window);
            window->show();
            QVERIFY(t.window.isServiceRunning());

            QFile file(configPath());
            QVERIFY(file.open(QIODevice::ReadOnly));
            key = QJsonDocument::fromJson(file.readAll()).object().value("syncKey").toString();
            QCOMPARE(key.size(), 12);

            // The operator adds a category, then an item in it, through the editor.
            QPushButton *addButton = testutil::findButton(t.dataPage, QStringLiteral("＋ 新增"));
            QVERIFY(addButton);
            selectTable(t, "categories");
            testutil::answerNextDialog([&](QDialog *d) { fillEditorAndSave(d, {{"名称", categoryName}}, {}); });
            addButton->click();
            QVERIFY(t.settle());
            QVERIFY(!findByName(Database::instance().rows("categories"), categoryName).isEmpty());

            selectTable(t, "items");
            testutil::answerNextDialog([&](QDialog *d) {
                fillEditorAndSave(d, {{"名称", itemName}, {"条码号", "690123"}, {"数量", "5"}},
                                  {{"所属分类", categoryName}});
            });
            addButton->click();
            QVERIFY(t.settle());
            QCOMPARE(testutil::rowCount(t.dataPage->view()), 1);
            QCOMPARE(cell(t.dataPage->view(), 0, columnOf(t.dataPage->view(), "名称")), itemName);

            // A phone pulls with the generated key and finds both.
            const testutil::Reply pull = testutil::exchange(port, requestBytes("GET", "/export", key));
            QCOMPARE(pull.status, 200);
            QCOMPARE(pull.headers.value("content-length"), QByteArray::number(pull.body.size()));
            const QJsonObject exported = QJsonDocument::fromJson(pull.body).object();
            QCOMPARE(exported.value("app").toString(), QStringLiteral("plindor"));
            const QJsonObject category = findByName(exported.value("categories").toArray(), categoryName);
            const QJsonObject item = findByName(exported.value("items").toArray(), itemName);
            QVERIFY(!category.isEmpty());
            QVERIFY(!item.isEmpty());
            categoryId = category.value("id").toString();
            itemId = item.value("id").toString();
            QVERIFY(itemId.startsWith(QStringLiteral("qt-")));
            QCOMPARE(item.value("categoryId").toString(), categoryId);
            QCOMPARE(item.value("quantity").toDouble(), 5.0);

            // The phone changes the item and records two transactions, then pushes its document.
            QJsonObject phoneItem = item;
            phoneItem["name"] = phoneItemName;
            phoneItem["quantity"] = 3;
            phoneItem["updatedAt"] =
                QDateTime::currentDateTime().addSecs(3600).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            const QJsonArray transactions{
                QJsonObject{{"id", "ph-t1"}, {"itemId", itemId}, {"type", "out"}, {"quantity", 1}, {"status", "paid"}},
                QJsonObject{
                    {"id", "ph-t2"}, {"itemId", itemId}, {"type", "out"}, {"quantity", 1}, {"status", "unpaid"}}};
            const QJsonObject pushed{{"app", "plindor"},
                                     {"protocol", 1},
                                     {"platform", "android"},
                                     {"items", QJsonArray{phoneItem}},
                                     {"transactions", transactions}};
            const testutil::Reply push = testutil::exchange(
                port, requestBytes("POST", "/import", key, QJsonDocument(pushed).toJson(QJsonDocument::Compact)));
            QCOMPARE(push.status, 200);
            const QJsonObject answer = QJsonDocument::fromJson(push.body).object();
            QCOMPARE(answer.value("ok").toBool(), true);
            QCOMPARE(answer.value("merged").toObject().value("items").toInt(), 1);
            QCOMPARE(answer.value("merged").toObject().value("transactions").toInt(), 2);

            // The sync-log page has followed both without anybody pressing "刷新".
            t.nav->blockSignals(true);
            t.stack->setCurrentWidget(t.syncLogPage);
            t.nav->blockSignals(false);
            QTableWidget *log = t.syncLogPage->records();
            // The push's row is stored before its answer goes out; the page hears of it through the event loop.
            QTRY_COMPARE(cell(log, 0, 2), QStringLiteral("推送"));
            QVERIFY(log->rowCount() >= 2);
            QCOMPARE(cell(log, 0, 1), QStringLiteral("127.0.0.1"));
            QCOMPARE(cell(log, 0, 3), QStringLiteral("物品 1 新增/更新 / 流水 2 新增"));
            QCOMPARE(cell(log, 1, 1), QStringLiteral("127.0.0.1"));
            QCOMPARE(cell(log, 1, 2), QStringLiteral("拉取"));
            QCOMPARE(columnTexts(log, "动作").mid(2), QStringList({"新增", "新增"}));
            QTRY_VERIFY(t.statusCard->text().endsWith(QStringLiteral("物品 1 · 流水 2")));

            // The data page shows the phone's values once it is refreshed.
            t.show(MainWindow::Page::Data);
            selectTable(t, "transactions");
            QCOMPARE(testutil::rowCount(t.dataPage->view()), 2);
            QCOMPARE(columnTexts(t.dataPage->view(), "类型"), QStringList({"出库", "出库"}));
            selectTable(t, "items");
            QCOMPARE(testutil::rowCount(t.dataPage->view()), 1);
            QCOMPARE(cell(t.dataPage->view(), 0, columnOf(t.dataPage->view(), "名称")), phoneItemName);
            QCOMPARE(cell(t.dataPage->view(), 0, columnOf(t.dataPage->view(), "数量")), QStringLiteral("3"));
            QCOMPARE(cell(t.dataPage->view(), 0, columnOf(t.dataPage->view(), "所属分类")), categoryName);

            // The history page rolls back to the version stored before the push.
            t.show(MainWindow::Page::History);
            QTableWidget *versions = t.historyPage->versionList();
            const int beforePush = columnTexts(versions, "原因").indexOf(QStringLiteral("收到 127.0.0.1 推送前"));
            QVERIFY(beforePush >= 0);
            QCOMPARE(cell(versions, beforePush, 3), QStringLiteral("127.0.0.1"));
            QCOMPARE(cell(versions, beforePush, 4), QStringLiteral("1"));
            QCOMPARE(cell(versions, beforePush, 5), QStringLiteral("0"));
            const QString versionText = cell(versions, beforePush, 0);
            versions->selectRow(beforePush);

            QList<testutil::SeenBox> boxes;
            testutil::answerBoxes({QMessageBox::Yes, QMessageBox::Ok}, &boxes);
            QPushButton *rollbackButton = testutil::findButton(t.historyPage, QStringLiteral("回滚到选中版本"));
            QVERIFY(rollbackButton);
            rollbackButton->click();
            QVERIFY(t.settle());
            QCOMPARE(boxes.size(), 2);
            QCOMPARE(boxes[0].title, QStringLiteral("确认回滚"));
            QCOMPARE(boxes[1].title, QStringLiteral("已回滚"));

            QCOMPARE(cell(versions, 0, 2), QStringLiteral("回滚到版本 %1").arg(versionText));
            QCOMPARE(cell(t.syncLogPage->records(), 0, 2), QStringLiteral("回滚"));
            const QJsonObject rolledBack = findById(Database::instance().rows("items"), itemId);
            QCOMPARE(rolledBack.value("name").toString(), itemName);
            QCOMPARE(rolledBack.value("quantity").toDouble(), 5.0);
            t.show(MainWindow::Page::Data);
            QCOMPARE(cell(t.dataPage->view(), 0, columnOf(t.dataPage->view(), "名称")), itemName);

            // Closing the window ends the service and the database.
            window->close();
            window.reset();
            QVERIFY(!Database::instance().isOpen());
            QTcpServer probe;
            QVERIFY2(probe.listen(QHostAddress::Any, port), qPrintable(probe.errorString()));
        }

        // Started again on the same folder, the program finds everything as it was left.
        MainWindow window;
        const testutil::WindowParts t(window);
        QVERIFY(Database::instance().isOpen());
        QVERIFY(t.window.isServiceRunning());
        QCOMPARE(t.window.currentSettings().value("syncKey").toString(), key);
        const QJsonObject item = findById(Database::instance().rows("items"), itemId);
        QCOMPARE(item.value("name").toString(), itemName);
        QCOMPARE(item.value("categoryId").toString(), categoryId);
        QCOMPARE(Database::instance().rows("transactions").size(), 2);
        t.show(MainWindow::Page::Data);
        QCOMPARE(cell(t.dataPage->view(), 0, columnOf(t.dataPage->view(), "名称")), itemName);
        QCOMPARE(columnTexts(t.syncLogPage->records(), "动作"), QStringList({"回滚", "推送", "拉取", "新增", "新增"}));
        QCOMPARE(t.historyPage->versionList()->rowCount(), 5);

        const testutil::Reply again = testutil::exchange(port, requestBytes("GET", "/export", key));
        QCOMPARE(again.status, 200);
        const QJsonObject exported = QJsonDocument::fromJson(again.body).object();
        QCOMPARE(findById(exported.value("items").toArray(), itemId).value("name").toString(), itemName);
        QCOMPARE(exported.value("transactions").toArray().size(), 2);
    }

    // A push while the operator looks at a searched, scrolled table: the new rows show at once, and the
    // table, search, scroll position and selected row stay as they were; the history gains the version.
    void pushRefreshesTheShownPageInPlace()
    {
        const quint16 port = testutil::freePort();
        QVERIFY(
            testutil::resetProgramFolder({{"syncPort", port}, {"publicHost", "203.0.113.9"}, {"syncKey", "PUSHKEY1"}}));
        MainWindow window;
        const testutil::WindowParts t(window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QString stamp = QStringLiteral("2024-01-01 00:00:00");
        for (int i = 0; i < 300; ++i) {
            const QJsonObject item{{"id", QStringLiteral("m%1").arg(i, 3, 10, QLatin1Char('0'))},
                                   {"name", QStringLiteral("%1 %2").arg(i % 2 ? "螺丝" : "垫片").arg(i)},
                                   {"createdAt", stamp},
                                   {"updatedAt", stamp}};
            QVERIFY(!Database::instance().upsert("items", item, nullptr).isEmpty());
        }
        selectTable(t, "items");
        t.dataPage->searchField()->setText(QStringLiteral("螺丝"));
        QCOMPARE(testutil::rowCount(t.dataPage->view()), 150);
        QScrollBar *scroll = t.dataPage->view()->verticalScrollBar();
        QVERIFY(scroll->maximum() > 20);
        testutil::selectRow(t.dataPage->view(), 60);
        const QString selected = t.dataPage->currentRowId();
        scroll->setValue(scroll->maximum() / 2);
        const int scrolled = scroll->value();
        QVERIFY(scrolled > 0);

        QJsonArray pushedItems;
        for (int i = 0; i < 5; ++i)
            pushedItems.append(QJsonObject{{"id", QStringLiteral("ph-%1").arg(i)},
                                           {"name", QStringLiteral("手机螺丝 %1").arg(i)},
                                           {"createdAt", stamp},
                                           {"updatedAt", stamp}});
        const QJsonObject pushed{{"app", "plindor"}, {"protocol", 1}, {"platform", "android"}, {"items", pushedItems}};
        const testutil::Reply push = testutil::exchange(
            port, requestBytes("POST", "/import", "PUSHKEY1", QJsonDocument(pushed).toJson(QJsonDocument::Compact)));
        QCOMPARE(push.status, 200);
        QTRY_COMPARE(testutil::rowCount(t.dataPage->view()), 155);
        QVERIFY(columnTexts(t.dataPage->view(), "名称").contains(QStringLiteral("手机螺丝 3")));
        QCOMPARE(t.dataPage->tableChooser()->currentData().toString(), QStringLiteral("items"));
        QCOMPARE(t.dataPage->searchField()->text(), QStringLiteral("螺丝"));
        QCOMPARE(scroll->value(), scrolled);
        QCOMPARE(t.dataPage->currentRowId(), selected);
        QCOMPARE(t.dataPage->countLine()->text(), QStringLiteral("共 155 条（已按「螺丝」过滤）"));
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);

        // The history page, when shown, has the version the push saved, selected as before.
        t.show(MainWindow::Page::History);
        t.historyPage->versionList()->selectRow(0);
        const QString version = t.historyPage->versionList()->item(0, 0)->text();
        const testutil::Reply second = testutil::exchange(
            port, requestBytes("POST", "/import", "PUSHKEY1", QJsonDocument(pushed).toJson(QJsonDocument::Compact)));
        QCOMPARE(second.status, 200);
        QTRY_COMPARE(t.historyPage->versionList()->rowCount(), 2);
        QCOMPARE(t.historyPage->versionList()->item(t.historyPage->versionList()->currentRow(), 0)->text(), version);
    }

    // A phone has its answer before the page shown redraws; a burst of pushes redraws it once, and a
    // page that is not shown is redrawn only when it is shown again.
    void pushIsAnsweredBeforeTheRefresh()
    {
        const quint16 port = testutil::freePort();
        QVERIFY(
            testutil::resetProgramFolder({{"syncPort", port}, {"publicHost", "203.0.113.9"}, {"syncKey", "PUSHKEY1"}}));
        MainWindow window;
        const testutil::WindowParts t(window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        selectTable(t, "items");
        int refreshes = 0;
        connect(t.dataPage->view()->model(), &QAbstractItemModel::modelReset, this, [&refreshes] { ++refreshes; });
        const QString stamp = QStringLiteral("2024-01-01 00:00:00");
        const auto push = [&](const QString &id) {
            const QJsonObject item{{"id", id}, {"name", "手机件 " + id}, {"createdAt", stamp}, {"updatedAt", stamp}};
            const QJsonObject document{{"app", "plindor"}, {"protocol", 1}, {"items", QJsonArray{item}}};
            return requestBytes("POST", "/import", "PUSHKEY1", QJsonDocument(document).toJson(QJsonDocument::Compact));
        };

        QCOMPARE(testutil::exchange(port, push("a1")).status, 200);
        QCOMPARE(refreshes, 0);
        QCOMPARE(testutil::rowCount(t.dataPage->view()), 0);
        QTRY_COMPARE(refreshes, 1);
        QCOMPARE(columnTexts(t.dataPage->view(), "名称"), QStringList{"手机件 a1"});

        // Three phones at once.
        std::vector<std::unique_ptr<QTcpSocket>> phones;
        for (const QString id : {"b1", "b2", "b3"}) {
            phones.push_back(std::make_unique<QTcpSocket>());
            phones.back()->connectToHost(QHostAddress::LocalHost, port);
            phones.back()->write(push(id));
        }
        QList<QByteArray> answers(phones.size());
        QTRY_VERIFY([&] {
            bool done = true;
            for (size_t i = 0; i < phones.size(); ++i) {
                answers[i] += phones[i]->readAll();
                done = done && phones[i]->state() == QAbstractSocket::UnconnectedState;
            }
            return done;
        }());
        for (const QByteArray &answer : std::as_const(answers))
            QVERIFY2(answer.startsWith("HTTP/1.1 200"), answer.constData());
        QTRY_COMPARE(testutil::rowCount(t.dataPage->view()), 4);
        QTest::qWait(600);
        QCOMPARE(refreshes, 2);

        t.show(MainWindow::Page::History);
        QCOMPARE(testutil::exchange(port, push("c1")).status, 200);
        QTest::qWait(600);
        QCOMPARE(refreshes, 2);
        QCOMPARE(testutil::rowCount(t.dataPage->view()), 4);
        t.show(MainWindow::Page::Data);
        QCOMPARE(testutil::rowCount(t.dataPage->view()), 5);
    }
};

TOVANIK_TEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
