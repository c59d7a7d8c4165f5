#include "app/paths.h"
#include "storage/database.h"
#include "testutil.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
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
};

QTEST_MAIN(AppTest)
#include "tst_app.moc"
