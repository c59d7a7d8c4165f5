#include "app/paths.h"
#include "storage/database.h"
#include "sync/syncserver.h"
#include "testmain.h"
#include "teststorage.h"
#include "testutil.h"
#include "ui/mainwindow.h"

#include <QClipboard>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

// A stand-in for the public address-echo services: answers each path with a canned HTTP response.
class EchoServer : public QTcpServer
{
public:
    struct Answer
    {
        int status = 200;
        QByteArray body;
        bool held = false;
    };

    EchoServer()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { onReadyRead(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

    QUrl url(const QString &path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path));
    }

    // Sends the answers kept back so far, so that a test decides when a lookup may finish.
    void releaseHeld()
    {
        const auto pending = heldAnswers;
        heldAnswers.clear();
        for (const auto &answerNow : pending)
            answerNow();
    }

    int heldCount() const { return heldAnswers.size(); }

    QHash<QString, Answer> answers;
    QStringList paths;
    QStringList userAgents;

private:
    void onReadyRead(QTcpSocket *socket)
    {
        QByteArray buffer = socket->property("buf").toByteArray() + socket->readAll();
        socket->setProperty("buf", buffer);
        const int end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        const QString path = QString::fromLatin1(lines.first().split(' ').value(1));
        paths.append(path);
        for (const QByteArray &line : lines) {
            if (line.toLower().startsWith("user-agent:"))
                userAgents.append(QString::fromLatin1(line.mid(11).trimmed()));
        }
        const Answer answer = answers.value(path, Answer{404, "not found", false});
        if (answer.held)
            heldAnswers.append([socket, answer] { send(socket, answer); });
        else
            send(socket, answer);
    }

    static void send(QTcpSocket *socket, const Answer &answer)
    {
        socket->write(QByteArray("HTTP/1.1 ") + QByteArray::number(answer.status)
                      + " X\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: "
                      + QByteArray::number(answer.body.size()) + "\r\n\r\n" + answer.body);
        socket->disconnectFromHost();
    }

    QList<std::function<void()>> heldAnswers;
};

// A URL on which nothing listens: the request fails at once, without leaving the machine.
QUrl deadUrl()
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(testutil::freePort()));
}

QByteArray readConfigFile()
{
    QFile file(configPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonObject readConfigObject()
{
    return QJsonDocument::fromJson(readConfigFile()).object();
}

// The slots a class declares itself, in their order.
QStringList slotNames(const QObject *object)
{
    const QMetaObject *meta = object->metaObject();
    QStringList names;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        if (meta->method(i).methodType() == QMetaMethod::Slot)
            names.append(QString::fromLatin1(meta->method(i).name()));
    }
    return names;
}

QStringList logLines(const testutil::WindowParts &t)
{
    return t.syncLogPage->programLogView()->toPlainText().split(QLatin1Char('\n'));
}

const QRegularExpression generatedKey(QStringLiteral("^[ABCDEFGHJKLMNPQRSTUVWXYZ23456789]{12}$"));

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<testutil::WindowParts> access;

    void resetFolder()
    {
        access.reset();
        window.reset();
        testutil::clearProgramFolder();
    }

    void writeConfig(const QByteArray &bytes)
    {
        QFile file(configPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    void writeConfig(const QJsonObject &object) { writeConfig(QJsonDocument(object).toJson()); }

    static QJsonObject quietConfig() { return testutil::quietConfig(QStringLiteral("TESTKEY1")); }

    // Starts the window; the detection, if it runs, only ever reaches the given local URLs.
    const testutil::WindowParts &start(const QList<QUrl> &services = {deadUrl(), deadUrl(), deadUrl()})
    {
        window = std::make_unique<MainWindow>();
        access = std::make_unique<testutil::WindowParts>(*window);
        access->publicAddress->setServices(services);
        return *access;
    }

    QPushButton *button(const QString &text) { return testutil::findButton(window.get(), text); }

    // Presses a button that answers with a box; returns the box's title, its text through *text.
    QString pressAndAnswer(const QString &buttonText, QString *text = nullptr)
    {
        QString title;
        QPushButton *target = button(buttonText);
        if (!target)
            return QStringLiteral("<no button %1>").arg(buttonText);
        testutil::answerNextBox(QMessageBox::Ok, text, &title);
        target->click();
        return title;
    }

private Q_SLOTS:
    void cleanup() { resetFolder(); }

    // --- Settings file ---

    void firstRunWritesTheSixLineFile()
    {
        resetFolder();
        const testutil::WindowParts &t = start();
        const QByteArray bytes = readConfigFile();
        const QList<QByteArray> lines = bytes.split('\n');
        QCOMPARE(lines.size(), 7);
        QCOMPARE(lines.at(0), QByteArray("{"));
        QCOMPARE(lines.at(1), QByteArray("    \"deviceName\": \"电脑主库\","));
        QCOMPARE(lines.at(2), QByteArray("    \"publicHost\": \"\","));
        QVERIFY(lines.at(3).startsWith("    \"syncKey\": \""));
        QCOMPARE(lines.at(4), QByteArray("    \"syncPort\": 9527"));
        QCOMPARE(lines.at(5), QByteArray("}"));
        QCOMPARE(lines.at(6), QByteArray());

        const QString key = readConfigObject().value("syncKey").toString();
        QVERIFY2(generatedKey.match(key).hasMatch(), qPrintable(key));
        QCOMPARE(t.window.currentSettings().value("syncKey").toString(), key);
        QCOMPARE(t.settingsPage->keyField()->text(), key);
        QCOMPARE(t.server->key(), key);
        QCOMPARE(t.settingsPage->portField()->text(), QStringLiteral("9527"));
    }

    void syntaxErrorIsReplacedByDefaults()
    {
        resetFolder();
        writeConfig(QByteArray("{ \"syncPort\": 4321, \"syncKey\": \"KEEPME\""));
        const testutil::WindowParts &t = start();
        const QJsonObject saved = readConfigObject();
        QCOMPARE(saved.size(), 4);
        QCOMPARE(saved.value("syncPort").toInt(), 9527);
        QCOMPARE(saved.value("deviceName").toString(), QStringLiteral("电脑主库"));
        QVERIFY(generatedKey.match(saved.value("syncKey").toString()).hasMatch());
        QCOMPARE(t.window.currentSettings(), saved);
    }

    void fileWithOnlyAPort()
    {
        resetFolder();
        const quint16 port = testutil::freePort();
        writeConfig(QJsonObject{{"syncPort", port}});
        const testutil::WindowParts &t = start();
        QVERIFY(t.window.isServiceRunning());
        QCOMPARE(t.server->port(), port);
        QVERIFY(testutil::acceptsConnection(port));

        const QJsonObject saved = readConfigObject();
        QCOMPARE(saved.keys(), QStringList({"syncKey", "syncPort"}));
        QCOMPARE(saved.value("syncPort").toInt(), int(port));
        QVERIFY(generatedKey.match(saved.value("syncKey").toString()).hasMatch());
        QCOMPARE(t.settingsPage->nameField()->text(), QStringLiteral("电脑主库"));
        QCOMPARE(t.server->deviceName(), QStringLiteral("电脑主库"));
    }

    void withoutPortAndKeyTheKeyIsNeverWritten()
    {
        resetFolder();
        const QByteArray original =
            QJsonDocument(QJsonObject{{"deviceName", "仓库一号"}, {"publicHost", "x.example"}}).toJson();
        writeConfig(original);
        QString firstKey;
        {
            const testutil::WindowParts &t = start();
            firstKey = t.window.currentSettings().value("syncKey").toString();
            QVERIFY(generatedKey.match(firstKey).hasMatch());
            QCOMPARE(t.server->key(), firstKey);
            QCOMPARE(t.server->deviceName(), QStringLiteral("仓库一号"));
        }
        window.reset();
        QCOMPARE(readConfigFile(), original);
        const testutil::WindowParts &t = start();
        QVERIFY(generatedKey.match(t.window.currentSettings().value("syncKey").toString()).hasMatch());
        QVERIFY(t.window.currentSettings().value("syncKey").toString() != firstKey);
        QCOMPARE(readConfigFile(), original);
    }

    void blankKeyIsKeptAndChecksNothing()
    {
        resetFolder();
        QJsonObject config = quietConfig();
        config.insert("syncKey", "   ");
        writeConfig(config);
        const testutil::WindowParts &t = start();
        QCOMPARE(t.window.currentSettings().value("syncKey").toString(), QStringLiteral("   "));
        QCOMPARE(t.settingsPage->keyField()->text(), QStringLiteral("   "));
        QCOMPARE(t.server->key(), QString());
        QCOMPARE(readConfigObject().value("syncKey").toString(), QStringLiteral("   "));
    }

    void unusablePortIsReadAs9527_data()
    {
        QTest::addColumn<QJsonValue>("port");
        QTest::addColumn<bool>("logged");
        QTest::newRow("string") << QJsonValue("8080") << false;
        QTest::newRow("fraction") << QJsonValue(8080.5) << false;
        QTest::newRow("zero") << QJsonValue(0) << true;
        QTest::newRow("negative") << QJsonValue(-5) << true;
        QTest::newRow("beyond 16 bits") << QJsonValue(65536 + 8080) << true;
    }

    void unusablePortIsReadAs9527()
    {
        QFETCH(QJsonValue, port);
        QFETCH(bool, logged);
        resetFolder();
        QJsonObject config = quietConfig();
        config.insert("syncPort", port);
        writeConfig(config);
        const testutil::WindowParts &t = start();
        QCOMPARE(t.settingsPage->portField()->text(), QStringLiteral("9527"));
        if (t.window.isServiceRunning())
            QCOMPARE(t.server->port(), quint16(9527));
        QCOMPARE(
            t.syncLogPage->programLogView()->toPlainText().contains(QStringLiteral("不在 1 - 65535 之间，改用 9527")),
            logged);
        QCOMPARE(readConfigObject().value("syncPort"), port);
    }

    void unknownKeysSurviveEverySave()
    {
        resetFolder();
        QJsonObject config = quietConfig();
        config.insert("theme", "dark");
        config.insert("window", QJsonObject{{"w", 900}});
        writeConfig(config);
        start();
        QCOMPARE(pressAndAnswer(QStringLiteral("保存设置")), QStringLiteral("已保存"));
        QCOMPARE(readConfigObject().value("theme").toString(), QStringLiteral("dark"));
        button(QStringLiteral("🎲 换一个"))->click();
        const QJsonObject saved = readConfigObject();
        QCOMPARE(saved.value("window").toObject().value("w").toInt(), 900);
        QCOMPARE(saved.value("theme").toString(), QStringLiteral("dark"));
        QVERIFY(saved.value("syncKey").toString() != QStringLiteral("TESTKEY1"));
    }

    void saveReplacesTheFileWhole()
    {
        resetFolder();
        writeConfig(quietConfig());
        const testutil::WindowParts &t = start();
        testutil::FileSteps steps(QCoreApplication::applicationDirPath());
        t.settingsPage->nameField()->setText(QStringLiteral("二号库"));
        QCOMPARE(pressAndAnswer(QStringLiteral("保存设置")), QStringLiteral("已保存"));
        // A new file renamed into place, never the old one rewritten where a crash could cut it short.
        QCOMPARE(steps.seen, QStringList({"flush file config.json.part", "rename config.json", "flush folder ."}));
        QCOMPARE(readConfigObject().value("deviceName").toString(), QStringLiteral("二号库"));
        const QStringList leftovers = QDir(QCoreApplication::applicationDirPath())
                                          .entryList({QStringLiteral("config.json*")}, QDir::Files | QDir::Hidden);
        QCOMPARE(leftovers, QStringList{QStringLiteral("config.json")});
    }

    void unwritableFileIsReportedAndSettingsStillApply()
    {
        resetFolder();
        writeConfig(quietConfig());
        const testutil::WindowParts &t = start();
        QVERIFY(QFile::remove(configPath()));
        QVERIFY(QDir().mkpath(configPath()));
        t.settingsPage->keyField()->setText(QStringLiteral("NEWKEY99"));
        QString text;
        QCOMPARE(pressAndAnswer(QStringLiteral("保存设置"), &text), QStringLiteral("配置文件写入失败"));
        QVERIFY2(text.contains(configPath()), qPrintable(text));
        // The reason too, not only that it failed.
        QVERIFY2(text.contains(QStringLiteral("改名为")), qPrintable(text));
        QCOMPARE(t.server->key(), QStringLiteral("NEWKEY99"));
        QCOMPARE(t.window.currentSettings().value("syncKey").toString(), QStringLiteral("NEWKEY99"));

        button(QStringLiteral("🎲 换一个"))->click();
        QVERIFY(t.settle());
        QVERIFY(t.server->key() != QStringLiteral("NEWKEY99"));
        QVERIFY(logLines(t).last().endsWith(
            QStringLiteral("配置文件写入失败，设置只在本次运行中有效: %1").arg(configPath())));
    }

    // --- Settings page ---

    void portField_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("blanks around") << QStringLiteral("  %1 ") << true;
        QTest::newRow("zero") << QStringLiteral("0") << false;
        QTest::newRow("65536") << QStringLiteral("65536") << false;
        QTest::newRow("letters") << QStringLiteral("80a") << false;
        QTest::newRow("empty") << QString() << false;
    }

    void portField()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        resetFolder();
        writeConfig(quietConfig());
        const testutil::WindowParts &t = start();
        const QByteArray before = readConfigFile();
        const quint16 newPort = testutil::freePort();
        t.settingsPage->portField()->setText(text.contains("%1") ? text.arg(newPort) : text);
        t.settingsPage->nameField()->setText(QStringLiteral("别的名字"));
        QString message;
        const QString title = pressAndAnswer(QStringLiteral("保存设置"), &message);
        if (accepted) {
            QCOMPARE(title, QStringLiteral("已保存"));
            QCOMPARE(readConfigObject().value("syncPort").toInt(), int(newPort));
            QCOMPARE(t.server->port(), newPort);
        } else {
            QCOMPARE(title, QStringLiteral("端口不对"));
            QCOMPARE(message, QStringLiteral("端口要在 1 - 65535 之间"));
            QCOMPARE(readConfigFile(), before);
            QCOMPARE(t.window.currentSettings().value("deviceName").toString(), QStringLiteral("电脑主库"));
        }
    }

    void keyField_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("three") << QStringLiteral("abc") << false;
        QTest::newRow("three in blanks") << QStringLiteral("  abc  ") << false;
        QTest::newRow("four") << QStringLiteral("abcd") << true;
        QTest::newRow("empty") << QString() << true;
    }

    void keyField()
    {
        QFETCH(QString, key);
        QFETCH(bool, accepted);
        resetFolder();
        writeConfig(quietConfig());
        const testutil::WindowParts &t = start();
        t.settingsPage->keyField()->setText(key);
        QString message;
        const QString title = pressAndAnswer(QStringLiteral("保存设置"), &message);
        if (accepted) {
            QCOMPARE(title, QStringLiteral("已保存"));
            QCOMPARE(t.server->key(), key);
            QCOMPARE(readConfigObject().value("syncKey").toString(), key);
        } else {
            QCOMPARE(title, QStringLiteral("密钥太短"));
            QCOMPARE(message, QStringLiteral("同步密钥至少 4 位（留空表示不校验，不安全）"));
            QCOMPARE(t.server->key(), QStringLiteral("TESTKEY1"));
            QCOMPARE(readConfigObject().value("syncKey").toString(), QStringLiteral("TESTKEY1"));
        }
    }

    void emptyNameIsSavedAsDefault()
    {
        resetFolder();
        QJsonObject config = quietConfig();
        config.insert("deviceName", "旧名字");
        writeConfig(config);
        const testutil::WindowParts &t = start();
        t.settingsPage->nameField()->setText(QStringLiteral("   "));
        QCOMPARE(pressAndAnswer(QStringLiteral("保存设置")), QStringLiteral("已保存"));
        QCOMPARE(readConfigObject().value("deviceName").toString(), QStringLiteral("电脑主库"));
        QCOMPARE(t.server->deviceName(), QStringLiteral("电脑主库"));
        QVERIFY(QMetaObject::invokeMethod(window.get(), "refreshAll"));
        QCOMPARE(t.settingsPage->nameField()->text(), QStringLiteral("电脑主库"));
    }

    void saveWithSamePortDoesNotRestart()
    {
        resetFolder();
        writeConfig(quietConfig());
        const testutil::WindowParts &t = start();
        QVERIFY(t.window.isServiceRunning());
        QSignalSpy serverLog(t.server, &SyncServer::logMessage);
        t.settingsPage->keyField()->setText(QStringLiteral("FRESHKEY"));
        t.settingsPage->nameField()->setText(QStringLiteral("三号库"));
        QCOMPARE(pressAndAnswer(QStringLiteral("保存设置")), QStringLiteral("已保存"));
        QCOMPARE(serverLog.count(), 0);
        QCOMPARE(t.server->key(), QStringLiteral("FRESHKEY"));
        QCOMPARE(t.server->deviceName(), QStringLiteral("三号库"));

        QVERIFY(QMetaObject::invokeMethod(t.settingsPage, "onToggleServer"));
        QVERIFY(!t.window.isServiceRunning());
        QCOMPARE(pressAndAnswer(QStringLiteral("保存设置")), QStringLiteral("已保存"));
        QVERIFY(!t.window.isServiceRunning());
        QCOMPARE(t.statusCard->text(), QStringLiteral("○ 服务已停止"));
    }

    void saveWithNewPortStartsAStoppedService()
    {
        resetFolder();
        writeConfig(quietConfig());
        const testutil::WindowParts &t = start();
        QVERIFY(QMetaObject::invokeMethod(t.settingsPage, "onToggleServer"));
        QVERIFY(!t.window.isServiceRunning());
        const quint16 newPort = testutil::freePort();
        t.settingsPage->portField()->setText(QString::number(newPort));
        QCOMPARE(pressAndAnswer(QStringLiteral("保存设置")), QStringLiteral("已保存"));
        QVERIFY(t.window.isServiceRunning());
        QVERIFY(testutil::acceptsConnection(newPort));
        QCOMPARE(t.settingsPage->serviceButton()->text(), QStringLiteral("停止同步服务"));
        QVERIFY(t.statusCard->text().startsWith(QStringLiteral("● 服务运行中\n端口 %1").arg(newPort)));
    }

    // A port another program holds: the settings are saved, and the box says the service is not running and why.
    void saveOnAPortInUseNamesTheFailure()
    {
        resetFolder();
        writeConfig(quietConfig());
        const testutil::WindowParts &t = start();
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        const quint16 taken = holder.serverPort();
        t.settingsPage->portField()->setText(QString::number(taken));
        QString text;
        QCOMPARE(pressAndAnswer(QStringLiteral("保存设置"), &text), QStringLiteral("已保存，但同步服务没有运行"));
        QVERIFY2(text.startsWith(QStringLiteral("设置已保存。\n\n同步服务没能在端口 %1 启动：").arg(taken)),
                 qPrintable(text));
        QVERIFY2(text.contains(t.server->startError()) && !t.server->startError().isEmpty(), qPrintable(text));
        QVERIFY(!text.contains(QStringLiteral("立即生效")));
        QVERIFY(!t.window.isServiceRunning());
        QCOMPARE(readConfigObject().value("syncPort").toInt(), int(taken));
        QCOMPARE(t.statusCard->text(), QStringLiteral("○ 服务已停止"));

        // Saved again on the same port while stopped: still no promise of a running service.
        QCOMPARE(pressAndAnswer(QStringLiteral("保存设置"), &text), QStringLiteral("已保存，但同步服务没有运行"));
        QVERIFY(!text.contains(QStringLiteral("立即生效")));
    }

    void phonePageWarnsWhileTheServiceIsStopped()
    {
        resetFolder();
        writeConfig(quietConfig());
        const testutil::WindowParts &t = start();
        QVERIFY(t.window.isServiceRunning());
        QVERIFY(t.phonePage->serviceStoppedNote()->isHidden());

        t.settingsPage->serviceButton()->click();
        QVERIFY(t.settle());
        QVERIFY(!t.window.isServiceRunning());
        QVERIFY(!t.phonePage->serviceStoppedNote()->isHidden());
        QCOMPARE(t.phonePage->serviceStoppedNote()->objectName(), QStringLiteral("muted"));
        const QString lastLine = t.syncLogPage->programLogView()->toPlainText().split('\n').last();
        QVERIFY2(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] \\[同步服务\\] 已停止$"))
                     .match(lastLine)
                     .hasMatch(),
                 qPrintable(lastLine));

        t.settingsPage->serviceButton()->click();
        QVERIFY(t.settle());
        QVERIFY(t.window.isServiceRunning());
        QVERIFY(t.phonePage->serviceStoppedNote()->isHidden());
    }

    // At the smallest window the settings page scrolls instead of cutting its last lines off.
    void settingsPageScrollsWhenTooSmall()
    {
        resetFolder();
        writeConfig(quietConfig());
        const testutil::WindowParts &t = start();
        window->show();
        t.show(MainWindow::Page::Settings);
        window->resize(window->minimumSizeHint());
        QScrollArea *scroller = t.settingsPage;
        QVERIFY(scroller);
        QWidget *content = scroller->widget();
        QTRY_VERIFY(scroller->verticalScrollBar()->maximum() > 0);
        const auto labels = content->findChildren<QLabel *>();
        for (QLabel *label : labels) {
            if (!label->text().startsWith(QStringLiteral("配置文件：")))
                continue;
            const QRect inContent(label->mapTo(content, QPoint(0, 0)), label->size());
            QVERIFY(inContent.bottom() < content->height());
            QVERIFY(label->height() >= label->heightForWidth(label->width()));
            return;
        }
        QFAIL("no settings file line");
    }

    void toggleShowsTheServiceState()
    {
        resetFolder();
        const QJsonObject config = quietConfig();
        const quint16 port = quint16(config.value("syncPort").toInt());
        writeConfig(config);
        const testutil::WindowParts &t = start();
        QCOMPARE(t.settingsPage->serviceButton()->text(), QStringLiteral("停止同步服务"));
        QCOMPARE(t.settingsPage->serviceButton()->objectName(), QStringLiteral("danger"));

        t.settingsPage->serviceButton()->click();
        QVERIFY(t.settle());
        QVERIFY(!t.window.isServiceRunning());
        QCOMPARE(t.settingsPage->serviceButton()->text(), QStringLiteral("启动同步服务"));
        QCOMPARE(t.settingsPage->serviceButton()->objectName(), QStringLiteral("success"));
        QCOMPARE(t.statusCard->text(), QStringLiteral("○ 服务已停止"));
        QTRY_VERIFY(!testutil::acceptsConnection(port));

        // The service starts on the saved settings; an unsaved key in the field is not used.
        t.settingsPage->keyField()->setText(QStringLiteral("UNSAVED1"));
        t.settingsPage->serviceButton()->click();
        QVERIFY(t.settle());
        QVERIFY(t.window.isServiceRunning());
        QCOMPARE(t.server->key(), QStringLiteral("TESTKEY1"));
        QCOMPARE(t.settingsPage->serviceButton()->text(), QStringLiteral("停止同步服务"));
        QCOMPARE(t.settingsPage->serviceButton()->objectName(), QStringLiteral("danger"));
        QVERIFY(testutil::acceptsConnection(port));

        QSignalSpy serverLog(t.server, &SyncServer::logMessage);
        button(QStringLiteral("重启同步服务"))->click();
        QVERIFY(t.settle());
        QVERIFY(t.window.isServiceRunning());
        QVERIFY(serverLog.count() > 0);
        QCOMPARE(t.server->key(), QStringLiteral("TESTKEY1"));
    }

    void copyTakesTheFieldAsShown()
    {
        resetFolder();
        writeConfig(quietConfig());
        const testutil::WindowParts &t = start();
        t.settingsPage->keyField()->setText(QStringLiteral(" AB CD "));
        QString text;
        QCOMPARE(pressAndAnswer(QStringLiteral("复制"), &text), QStringLiteral("已复制"));
        QCOMPARE(text, QStringLiteral("密钥已复制： AB CD "));
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral(" AB CD "));
    }

    void newKeyIsShownAndApplied()
    {
        resetFolder();
        writeConfig(quietConfig());
        const testutil::WindowParts &t = start();
        t.settingsPage->nameField()->setText(QStringLiteral("未保存的名字"));
        button(QStringLiteral("🎲 换一个"))->click();
        QVERIFY(t.settle());
        const QString key = t.settingsPage->keyField()->text();
        QVERIFY(generatedKey.match(key).hasMatch());
        QCOMPARE(t.server->key(), key);
        QCOMPARE(readConfigObject().value("syncKey").toString(), key);
        QCOMPARE(readConfigObject().value("deviceName").toString(), QStringLiteral("电脑主库"));
        QCOMPARE(t.settingsPage->nameField()->text(), QStringLiteral("未保存的名字"));
    }

    // --- Frame ---

    void frameAtStart()
    {
        resetFolder();
        writeConfig(quietConfig());
        const testutil::WindowParts &t = start();
        QCOMPARE(t.stack->count(), 5);
        QCOMPARE(t.stack->currentWidget(), t.dataPage);
        QCOMPARE(t.nav->currentRow(), -1);
        QVERIFY(t.nav->selectedItems().isEmpty());
        QCOMPARE(t.nav->item(int(MainWindow::Page::Settings))->text(), QStringLiteral("  \u2699\uFE0F   设置"));
        QVERIFY(t.refreshTimer->isActive());
        QCOMPARE(t.refreshTimer->interval(), 15000);
        QVERIFY(!t.refreshTimer->isSingleShot());

        QCOMPARE(slotNames(window.get()),
                 (QStringList{"onNavChanged", "refreshAll", "updateServerState", "fetchPublicIP"}));
        QCOMPARE(slotNames(t.dataPage), (QStringList{"onTableChanged", "onSearchChanged", "onAddRow", "onEditRow",
                                                     "onDeleteRow", "onExportCsv", "onImportCsv"}));
        QCOMPARE(slotNames(t.historyPage), (QStringList{"onMakeSnapshot", "onRollback", "onCompare"}));
        QCOMPARE(slotNames(t.settingsPage), (QStringList{"onCopyKey", "onNewKey", "onSaveSettings", "onToggleServer"}));

        const QList<QPair<MainWindow::Page, QWidget *>> pages{{MainWindow::Page::Data, t.dataPage},
                                                              {MainWindow::Page::Phone, t.phonePage},
                                                              {MainWindow::Page::History, t.historyPage},
                                                              {MainWindow::Page::Settings, t.settingsPage},
                                                              {MainWindow::Page::SyncLog, t.syncLogPage}};
        for (const auto &[page, widget] : pages) {
            t.show(page);
            QCOMPARE(t.stack->currentWidget(), widget);
        }
        t.show(MainWindow::Page::Settings);
        QVERIFY(QMetaObject::invokeMethod(window.get(), "onNavChanged", Q_ARG(int, -1)));
        QCOMPARE(t.stack->currentWidget(), t.dataPage);
    }

    void statusCard()
    {
        resetFolder();
        const QJsonObject config = quietConfig();
        const int port = config.value("syncPort").toInt();
        writeConfig(config);
        const testutil::WindowParts &t = start();
        QString error;
        QVERIFY(!Database::instance().upsert("items", QJsonObject{{"name", "螺丝"}}, &error).isEmpty());
        QVERIFY(!Database::instance().upsert("items", QJsonObject{{"name", "螺母"}}, &error).isEmpty());
        QVERIFY(!Database::instance().upsert("transactions", QJsonObject{{"type", "in"}}, &error).isEmpty());

        t.settingsPage->serviceButton()->click();
        QVERIFY(t.settle());
        QCOMPARE(t.statusCard->text(), QStringLiteral("○ 服务已停止"));
        t.refreshTimer->setInterval(20);
        QTest::qWait(100);
        Q_EMIT t.server->activity(QStringLiteral("192.0.2.7"), QStringLiteral("推送"), QString());
        QCOMPARE(t.statusCard->text(), QStringLiteral("○ 服务已停止"));
        QVERIFY(t.statusCard->styleSheet().contains(QStringLiteral("#95A5A6")));

        t.refreshTimer->stop();
        t.settingsPage->serviceButton()->click();
        QVERIFY(t.settle());
        QCOMPARE(t.statusCard->text(), QStringLiteral("● 服务运行中\n端口 %1").arg(port));
        QVERIFY(t.statusCard->styleSheet().contains(QStringLiteral("#2ECC71")));
        t.refreshTimer->start(20);
        QTRY_COMPARE(t.statusCard->text(), QStringLiteral("● 服务运行中\n端口 %1\n物品 2 · 流水 1").arg(port));
    }

    // --- Public address detection ---

    void configuredHostSendsNothing()
    {
        resetFolder();
        writeConfig(quietConfig());
        EchoServer echo;
        echo.answers.insert("/a", {200, "198.51.100.4", false});
        const testutil::WindowParts &t = start({echo.url("/a"), echo.url("/a"), echo.url("/a")});
        QTest::qWait(1200);
        QVERIFY(QMetaObject::invokeMethod(window.get(), "fetchPublicIP"));
        QTest::qWait(300);
        QCOMPARE(echo.paths, QStringList());
        QVERIFY(!t.publicAddress->isBusy());
        QCOMPARE(t.window.currentSettings().value("publicHost").toString(), QStringLiteral("203.0.113.9"));
    }

    void privateAnswerIsPassedOver()
    {
        resetFolder();
        QJsonObject config = quietConfig();
        config.remove("publicHost");
        writeConfig(config);
        EchoServer echo;
        echo.answers.insert("/line/?fields=query", {200, "10.20.30.40\n", false});
        echo.answers.insert("/ip", {200, "  203.0.113.77\n", false});
        echo.answers.insert("/", {200, "198.51.100.1", false});
        const testutil::WindowParts &t = start({echo.url("/line/?fields=query"), echo.url("/ip"), echo.url("/")});
        QTRY_VERIFY_WITH_TIMEOUT(!t.window.currentSettings().value("publicHost").toString().isEmpty(), 5000);
        QCOMPARE(t.window.currentSettings().value("publicHost").toString(), QStringLiteral("203.0.113.77"));
        QCOMPARE(readConfigObject().value("publicHost").toString(), QStringLiteral("203.0.113.77"));
        QCOMPARE(t.settingsPage->publicHostField()->text(), QStringLiteral("203.0.113.77"));
        QCOMPARE(t.phonePage->wanAddress()->text(),
                 QStringLiteral("203.0.113.77:%1").arg(config.value("syncPort").toInt()));
        QVERIFY(!t.publicAddress->isBusy());
        QCOMPARE(echo.paths, QStringList({"/line/?fields=query", "/ip"}));
        QCOMPARE(echo.userAgents, QStringList({"plindor-server/1.0", "plindor-server/1.0"}));

        const QStringList lines = logLines(t);
        const int first =
            lines.indexOf(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] 正在自动获取公网 IP…$")));
        QVERIFY(first >= 0);
        QCOMPARE(lines.mid(first + 1),
                 QStringList({QStringLiteral("  %1 -> 10.20.30.40").arg(echo.url("/line/?fields=query").toString()),
                              QStringLiteral("  %1 -> 203.0.113.77").arg(echo.url("/ip").toString()),
                              QStringLiteral("  ✓ 已获取公网 IP: 203.0.113.77")}));
    }

    void longBodyIsLoggedCut()
    {
        resetFolder();
        QJsonObject config = quietConfig();
        config.insert("publicHost", "");
        writeConfig(config);
        EchoServer echo;
        echo.answers.insert("/long", {200, QByteArray(70, 'x'), false});
        echo.answers.insert("/odd", {200, "<b>999.1.2.3</b>", false});
        const testutil::WindowParts &t = start({echo.url("/long"), echo.url("/odd"), deadUrl()});
        QTRY_VERIFY_WITH_TIMEOUT(!t.publicAddress->isBusy() && echo.paths.size() == 2, 5000);
        const QStringList lines = logLines(t);
        QVERIFY(lines.contains(QStringLiteral("  %1 -> %2").arg(echo.url("/long").toString(), QString(60, 'x'))));
        // Only digit counts are checked: 999 passes.
        QCOMPARE(t.window.currentSettings().value("publicHost").toString(), QStringLiteral("999.1.2.3"));
    }

    void allServicesFailing()
    {
        resetFolder();
        QJsonObject config = quietConfig();
        config.remove("publicHost");
        writeConfig(config);
        EchoServer echo;
        echo.answers.insert("/err", {500, "server error", false});
        echo.answers.insert("/none", {200, "no address in here", false});
        const QUrl refused = deadUrl();
        const testutil::WindowParts &t = start({echo.url("/err"), refused, echo.url("/none")});
        QTRY_VERIFY_WITH_TIMEOUT(
            t.syncLogPage->programLogView()->toPlainText().contains(QStringLiteral("正在自动获取")), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!t.publicAddress->isBusy(), 5000);
        const QStringList lines = logLines(t);
        QCOMPARE(lines.last(), QStringLiteral("  公网 IP 获取失败（网络不可用或接口被拦）"));
        QVERIFY(
            lines.at(lines.size() - 4).startsWith(QStringLiteral("  %1 -> 失败: ").arg(echo.url("/err").toString())));
        QVERIFY(lines.at(lines.size() - 3).startsWith(QStringLiteral("  %1 -> 失败: ").arg(refused.toString())));
        QCOMPARE(lines.at(lines.size() - 2),
                 QStringLiteral("  %1 -> no address in here").arg(echo.url("/none").toString()));
        QCOMPARE(t.window.currentSettings().value("publicHost").toString(), QString());
        QVERIFY(!readConfigObject().contains("publicHost"));
    }

    void twoQuickPressesRunOneDetection()
    {
        resetFolder();
        QJsonObject config = quietConfig();
        config.insert("publicHost", "old.example.com");
        writeConfig(config);
        EchoServer echo;
        echo.answers.insert("/slow", {200, "198.51.100.20", true});
        const testutil::WindowParts &t = start({echo.url("/slow"), deadUrl(), deadUrl()});
        QString firstTitle;
        QString secondTitle;
        testutil::answerNextBox(QMessageBox::Ok, nullptr, &firstTitle);
        button(QStringLiteral("自动获取"))->click();
        QVERIFY(t.settle());
        QCOMPARE(t.settingsPage->publicHostField()->text(), QString());
        // Only a found address is written; pressing the button does not touch the file.
        QCOMPARE(readConfigObject().value("publicHost").toString(), QStringLiteral("old.example.com"));
        QVERIFY(t.publicAddress->isBusy());
        testutil::answerNextBox(QMessageBox::Ok, nullptr, &secondTitle);
        button(QStringLiteral("自动获取"))->click();
        QVERIFY(t.settle());
        QCOMPARE(firstTitle, QStringLiteral("正在获取"));
        QCOMPARE(secondTitle, QStringLiteral("正在获取"));
        QTRY_COMPARE(echo.heldCount(), 1);
        echo.releaseHeld();
        QTRY_VERIFY_WITH_TIMEOUT(!t.publicAddress->isBusy(), 5000);
        QTest::qWait(200);
        QCOMPARE(echo.paths, QStringList{"/slow"});
        QCOMPARE(t.syncLogPage->programLogView()->toPlainText().count(QStringLiteral("正在自动获取公网 IP…")), 1);
        QCOMPARE(t.settingsPage->publicHostField()->text(), QStringLiteral("198.51.100.20"));
        QCOMPARE(readConfigObject().value("publicHost").toString(), QStringLiteral("198.51.100.20"));
    }

    void addressSavedMeanwhileIsNotOverwritten()
    {
        resetFolder();
        QJsonObject config = quietConfig();
        config.remove("publicHost");
        writeConfig(config);
        EchoServer echo;
        echo.answers.insert("/slow", {200, "198.51.100.30", true});
        const testutil::WindowParts &t = start({echo.url("/slow"), deadUrl(), deadUrl()});
        QTRY_VERIFY_WITH_TIMEOUT(t.publicAddress->isBusy(), 5000);
        t.settingsPage->publicHostField()->setText(QStringLiteral("nas.example.org"));
        QCOMPARE(pressAndAnswer(QStringLiteral("保存设置")), QStringLiteral("已保存"));
        QTRY_COMPARE(echo.heldCount(), 1);
        echo.releaseHeld();
        QTRY_VERIFY_WITH_TIMEOUT(!t.publicAddress->isBusy(), 5000);
        QCOMPARE(echo.paths, QStringList{"/slow"});
        QCOMPARE(t.window.currentSettings().value("publicHost").toString(), QStringLiteral("nas.example.org"));
        QCOMPARE(readConfigObject().value("publicHost").toString(), QStringLiteral("nas.example.org"));
        QCOMPARE(t.settingsPage->publicHostField()->text(), QStringLiteral("nas.example.org"));
    }

    // --- Start-up ---

    void firstStartInAnEmptyFolder()
    {
        resetFolder();
        if (!QTcpServer().listen(QHostAddress::Any, 9527))
            QSKIP("port 9527 is taken on this machine");
        EchoServer echo;
        echo.answers.insert("/", {200, "203.0.113.50", false});
        const testutil::WindowParts &t = start({echo.url("/"), deadUrl(), deadUrl()});

        QVERIFY(generatedKey.match(readConfigObject().value("syncKey").toString()).hasMatch());
        QVERIFY(QFile::exists(databasePath()));
        QVERIFY(t.window.isServiceRunning());
        QVERIFY(testutil::acceptsConnection(9527));

        const QString backup = QDir(QFileInfo(databasePath()).absolutePath())
                                   .filePath(QStringLiteral("备份/plindor-%1.db")
                                                 .arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd"))));
        QVERIFY(QFile::exists(backup));
        // The service starts at once; the backup is the storage thread's first write after it.
        QStringList lines = logLines(t);
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines.at(0).contains(QStringLiteral("9527")), qPrintable(lines.at(0)));
        QVERIFY2(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] 已自动备份数据库到: "))
                     .match(lines.at(1))
                     .hasMatch(),
                 qPrintable(lines.at(1)));
        QVERIFY(lines.at(1).endsWith(backup));
        // What the store takes, with the copy just made.
        QVERIFY2(lines.at(2).contains(QStringLiteral("] 存储空间：数据库 ")), qPrintable(lines.at(2)));
        QVERIFY2(lines.at(2).contains(QStringLiteral("· 备份 1 份 ")), qPrintable(lines.at(2)));

        QTRY_VERIFY_WITH_TIMEOUT(!t.window.currentSettings().value("publicHost").toString().isEmpty(), 5000);
        lines = logLines(t);
        QVERIFY(lines.at(3).endsWith(QStringLiteral("正在自动获取公网 IP…")));
        QCOMPARE(lines.last(), QStringLiteral("  ✓ 已获取公网 IP: 203.0.113.50"));

        // A second start the same day makes no second copy.
        window.reset();
        const testutil::WindowParts &again = start({deadUrl(), deadUrl(), deadUrl()});
        QVERIFY(!again.syncLogPage->programLogView()->toPlainText().contains(QStringLiteral("已自动备份")));
    }
};

TOVANIK_TEST_MAIN(WindowTest)
#include "tst_window.moc"
