#include "app/paths.h"
#include "storage/database.h"
#include "testutil.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

class AppTest : public QObject
{
    Q_OBJECT

private:
    // The program keeps its files beside the executable: start each case from an empty folder there.
    void resetProgramFolder()
    {
        QDir(QFileInfo(databasePath()).absolutePath()).removeRecursively();
        QFile::remove(configPath());
        QJsonObject config{{"syncPort", testutil::freePort()}, {"publicHost", "203.0.113.9"}, {"syncKey", "TESTKEY"},
                           {"deviceName", "电脑主库"}};
        QFile file(configPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(config).toJson());
    }

private Q_SLOTS:
    void pathsLieBesideTheExecutable()
    {
        const QString dir = QCoreApplication::applicationDirPath();
        QCOMPARE(databasePath(), QDir(dir).filePath(QStringLiteral("data/plindor.db")));
        QCOMPARE(configPath(), QDir(dir).filePath(QStringLiteral("config.json")));
        QVERIFY(QFileInfo(databasePath()).isAbsolute());
    }

    void freshFolderCreatesTheDatabase()
    {
        resetProgramFolder();
        {
            MainWindow window;
            QCOMPARE(window.windowTitle(), QStringLiteral("Tovanik · 电脑主库"));
            QCOMPARE(window.size(), QSize(1180, 760));
            QVERIFY(QFile::exists(databasePath()));
            QVERIFY(Database::instance().isOpen());
        }
        QVERIFY(!Database::instance().isOpen());
    }

    void unopenableDatabaseShowsCriticalBoxAndGoesOn()
    {
        resetProgramFolder();
        QVERIFY(QDir().mkpath(databasePath()));
        QString text;
        QString title;
        testutil::answerNextBox(QMessageBox::Ok, &text, &title);
        MainWindow window;
        QCOMPARE(title, QStringLiteral("数据库打开失败"));
        QVERIFY2(text.startsWith(QStringLiteral("打开数据库失败: ")), qPrintable(text));
        window.show();
        QVERIFY(window.isVisible());
        QVERIFY(!Database::instance().isOpen());
    }

    // Without a display the program prints what a phone needs and its log, and SIGTERM closes it
    // as closing the window would: the service stops and the database is closed cleanly.
    void headlessRunPrintsAndClosesOnSigterm()
    {
#ifdef Q_OS_WIN
        QSKIP("signals are Unix");
#else
        QTemporaryDir folder;
        const QString program = folder.filePath(QStringLiteral("tovanik"));
        QVERIFY(QFile::copy(QStringLiteral(TOVANIK_EXECUTABLE), program));
        const quint16 port = testutil::freePort();
        {
            QFile config(folder.filePath(QStringLiteral("config.json")));
            QVERIFY(config.open(QIODevice::WriteOnly));
            config.write(QJsonDocument(QJsonObject{{"syncPort", port}, {"publicHost", "203.0.113.9"},
                                                   {"syncKey", "HEADLESS1"}})
                             .toJson());
        }
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(folder.path());
        process.start(program, {});
        QVERIFY(process.waitForStarted());

        QString output;
        const auto readUntil = [&](const QString &wanted) {
            QElapsedTimer clock;
            clock.start();
            while (!output.contains(wanted) && clock.elapsed() < 20000) {
                process.waitForReadyRead(200);
                output += QString::fromUtf8(process.readAllStandardOutput());
            }
            return output.contains(wanted);
        };
        QVERIFY2(readUntil(QStringLiteral("[同步服务] 已启动，端口 %1").arg(port)), qPrintable(output));
        QVERIFY2(output.contains(QStringLiteral("端口 %1，同步密钥 HEADLESS1").arg(port)), qPrintable(output));
        QVERIFY2(output.contains(QStringLiteral("外网地址 203.0.113.9")), qPrintable(output));
        QVERIFY2(output.contains(QStringLiteral("已自动备份数据库到: ")), qPrintable(output));

        // The service answers phones while nobody sees the window.
        QTcpSocket phone;
        phone.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(phone.waitForConnected(5000));
        phone.write("GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Sync-Key: HEADLESS1\r\n\r\n");
        QVERIFY(phone.waitForReadyRead(5000));
        QVERIFY(phone.readAll().startsWith("HTTP/1.1 200"));
        phone.close();

        process.terminate();
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        const QString database = folder.filePath(QStringLiteral("data/plindor.db"));
        QVERIFY(QFile::exists(database));
        // The last connection to close checkpoints the write-ahead log into the file and removes it.
        QVERIFY(!QFile::exists(database + QStringLiteral("-wal")));
        QVERIFY(!testutil::acceptsConnection(port));
#endif
    }
};

QTEST_MAIN(AppTest)
#include "tst_app.moc"
