#include "app/paths.h"
#include "app/programcore.h"
#include "storage/backupfiles.h"
#include "storage/database.h"
#include "storage/handoff.h"
#include "storage/storagethread.h"
#include "sync/syncserver.h"
#include "testhttp.h"
#include "testmain.h"
#include "testnet.h"
#include "teststorage.h"
#include "testutil.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <memory>
#include <tuple>
#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#endif

namespace {

#ifdef Q_OS_WIN
std::atomic<int> accessViolations{0};

LONG WINAPI countAccessViolation(EXCEPTION_POINTERS *info)
{
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION)
        ++accessViolations;
    return EXCEPTION_CONTINUE_SEARCH;
}
#endif

const QByteArray key = "TESTKEY";

// A push large enough to take a while to merge.
constexpr int largePush = 20000;

QByteArray pushBody(int count, const QString &prefix)
{
    QJsonArray items;
    for (int i = 0; i < count; ++i) {
        items.append(QJsonObject{{"id", QStringLiteral("%1%2").arg(prefix).arg(i)},
                                 {"name", QStringLiteral("零件 %1").arg(i)},
                                 {"barcode", QStringLiteral("69%1").arg(i, 11, 10, QLatin1Char('0'))},
                                 {"quantity", i % 50},
                                 {"updatedAt", "2030-01-01 00:00:00"}});
    }
    return QJsonDocument(QJsonObject{{"app", "plindor"}, {"protocol", 1}, {"items", items}})
        .toJson(QJsonDocument::Compact);
}

// One request from a thread of its own, as another phone sends it while this thread serves.
class PhoneRequest
{
public:
    PhoneRequest(quint16 port, const QByteArray &request)
        : thread(QThread::create([this, port, request] {
            reply = testutil::exchange(port, request);
            handoff::release(this);
        }))
    {
        thread->start();
    }
    ~PhoneRequest()
    {
        thread->wait();
        delete thread;
    }
    Q_DISABLE_COPY(PhoneRequest)

    bool isDone() const { return thread->isFinished(); }
    // Serves the program meanwhile.
    const testutil::Reply &answer()
    {
        if (!QTest::qWaitFor([this] { return thread->isFinished(); }, 120000))
            qWarning("no answer within two minutes");
        handoff::acquire(this);
        return reply;
    }

private:
    QThread *thread;
    testutil::Reply reply;
};

int itemsIn(const QByteArray &exportBody)
{
    return int(QJsonDocument::fromJson(exportBody).object().value("items").toArray().size());
}

bool idle(const ProgramCore &core)
{
    return QTest::qWaitFor([&core] { return core.isDatabaseReady() && core.storage()->isIdle(); }, 60000);
}

} // namespace

class StorageThreadTest : public QObject
{
    Q_OBJECT

private:
    quint16 port() const { return quint16(config.value("syncPort").toInt()); }

    QJsonObject config;

private Q_SLOTS:
    void init()
    {
        config = testutil::quietConfig(QString::fromLatin1(key));
        QVERIFY(testutil::resetProgramFolder(config));
    }

    // Threads that listed the backups, as the pages and a restore do off the window's thread, end without
    // touching freed memory: the listing matches the names against patterns, for which Qt may keep a
    // stack per thread, and MinGW's runtime frees the pointer to it before Qt's clean-up reads it.
    void threadsThatListedBackupsEndCleanly()
    {
#ifndef Q_OS_WIN
        QSKIP("only MinGW's runtime ends a thread that way");
#else
        QTemporaryDir folder;
        const QStringList names = {
            backupfiles::dailyName(QDate(2026, 12, 9)), backupfiles::dailyName(QDate(2026, 12, 10)),
            backupfiles::setAsideName(QDateTime(QDate(2026, 12, 10), QTime(9, 30))), "notes.txt"};
        for (const QString &name : names) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        accessViolations = 0;
        void *handler = AddVectoredExceptionHandler(1, countAccessViolation);
        for (int i = 0; i < 20; ++i) {
            QList<BackupInfo> listed;
            std::unique_ptr<QThread> thread(QThread::create([&] { listed = backupfiles::list(folder.path()); }));
            thread->start();
            QVERIFY(thread->wait(10000));
            QCOMPARE(listed.size(), 3);
        }
        RemoveVectoredExceptionHandler(handler);
        QCOMPARE(accessViolations.load(), 0);
#endif
    }

    // A push, an edit and a rollback asked while the storage thread is busy end in the order asked, each
    // with its version first and its sync-log row after.
    void changesEndInTheOrderAsked()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        Database &db = Database::instance();
        QVERIFY(!db.upsert("items", {{"id", "i1"}, {"name", "原名"}, {"updatedAt", "2020-01-01 00:00:00"}}, nullptr)
                     .isEmpty());
        QVERIFY(db.saveVersion(QStringLiteral("基准"), QStringLiteral("qt")));
        window.show();
        t.show(MainWindow::Page::Data);
        QVERIFY(t.settle());

        QSemaphore gate;
        window.programCore().storage()->post([&gate] { gate.acquire(); });

        QSignalSpy merging(t.server, &SyncServer::merging);
        PhoneRequest push(port(), testutil::requestBytes("POST", "/import", pushBody(3, "p"), key));
        QTRY_COMPARE(merging.size(), 1);

        testutil::selectRow(t.dataPage->view(), 0, 0);
        testutil::answerNextDialog([](QDialog *dialog) {
            dialog->findChild<QLineEdit *>("name")->setText(QStringLiteral("新名"));
            testutil::findButton(dialog, QStringLiteral("保存"))->click();
        });
        testutil::findButton(t.dataPage, QStringLiteral("修改"))->click();
        QTRY_VERIFY(t.dataPage->isSaving());

        t.show(MainWindow::Page::History);
        t.historyPage->versionList()->selectRow(0);
        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Yes, QMessageBox::Ok}, &seen);
        testutil::findButton(t.historyPage, QStringLiteral("回滚到选中版本"))->click();

        // Nothing has been written while the thread was busy.
        QCOMPARE(testutil::valueFromFile(databasePath(), "SELECT COUNT(*) FROM versions").toInt(), 1);
        gate.release();
        QCOMPARE(push.answer().status, 200);
        QVERIFY(t.settle());
        QTRY_COMPARE(seen.size(), 2);
        QCOMPARE(seen.at(1).title, QStringLiteral("已回滚"));

        QStringList versions;
        for (const VersionInfo &v : db.listVersions(10))
            versions.prepend(v.reason);
        QCOMPARE(versions, (QStringList{"基准", "收到 127.0.0.1 推送前", "界面修改 items #i1 前", "回滚前自动存档",
                                        "回滚到版本 #1"}));
        QStringList log;
        for (const QJsonValue &row : db.recentSyncLog(10))
            log.prepend(row.toObject().value("action").toString());
        QCOMPARE(log, (QStringList{"推送", "修改", "回滚"}));
        // The rollback came last: the edit it undid was stored before it.
        QCOMPARE(testutil::valueFromFile(databasePath(), "SELECT name FROM items WHERE id = 'i1'").toString(),
                 QStringLiteral("原名"));
    }

    // A pull sent while a large push is merged neither waits for it nor sees half of it.
    void pullDuringPushIsWhole()
    {
        ProgramCore core;
        core.start();
        QVERIFY(idle(core));
        constexpr int count = largePush;
        QSignalSpy merging(core.syncServer(), &SyncServer::merging);
        PhoneRequest push(port(), testutil::requestBytes("POST", "/import", pushBody(count, "p"), key));
        QTRY_COMPARE_WITH_TIMEOUT(merging.size(), 1, 20000);

        QList<int> seen;
        int answeredDuringMerge = 0;
        while (!push.isDone()) {
            PhoneRequest pull(port(), testutil::requestBytes("GET", "/export", {}, key));
            const testutil::Reply &reply = pull.answer();
            QCOMPARE(reply.status, 200);
            seen << itemsIn(reply.body);
            if (merging.size() == 1)
                ++answeredDuringMerge;
        }
        QCOMPARE(push.answer().status, 200);
        for (const int items : std::as_const(seen))
            QVERIFY2(items == 0 || items == count, qPrintable(QString::number(items)));
        QVERIFY2(answeredDuringMerge > 0, "no pull was answered while the push was merged");

        PhoneRequest after(port(), testutil::requestBytes("GET", "/export", {}, key));
        QCOMPARE(itemsIn(after.answer().body), count);
    }

    // A reader does not wait for a write lock held elsewhere, and sees only what was committed.
    void pullDoesNotWaitForAnOpenWrite()
    {
        ProgramCore core;
        core.start();
        QVERIFY(idle(core));
        testutil::SideConnection writer(databasePath());
        QVERIFY(writer.exec("BEGIN IMMEDIATE"));
        QVERIFY(writer.exec("INSERT INTO items (id, name, deleted) VALUES ('half', '未提交', 0)"));
        PhoneRequest pull(port(), testutil::requestBytes("GET", "/export", {}, key));
        const testutil::Reply &reply = pull.answer();
        QCOMPARE(reply.status, 200);
        QCOMPARE(itemsIn(reply.body), 0);
        QVERIFY(writer.exec("ROLLBACK"));
    }

    // Wrong keys flooding from several addresses while a phone with the key pushes and pulls: every
    // refusal gets today's 401, the phone is answered, each address writes one row in its minute, and
    // closing writes the counts still open.
    void floodOfWrongKeysDuringPush()
    {
        auto core = std::make_unique<ProgramCore>();
        core->start();
        QVERIFY(idle(*core));
        const QStringList sources{"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
        constexpr int perSource = 40;
        const QByteArray refused = R"({"error":"密钥不正确","needKey":1,"ok":false})";
        std::atomic<int> unexpected{0};
        std::vector<std::unique_ptr<QThread>> flood;
        for (const QString &source : sources) {
            flood.emplace_back(QThread::create([this, source, refused, &unexpected] {
                for (int i = 0; i < perSource; ++i) {
                    const testutil::Reply reply =
                        testutil::exchange(port(), {testutil::requestBytes("GET", "/info", {}, "OLDKEY")}, 0,
                                           QHostAddress(QHostAddress::LocalHost), QHostAddress(source));
                    if (reply.status != 401 || reply.body != refused)
                        ++unexpected;
                }
            }));
            flood.back()->start();
        }
        PhoneRequest push(port(), testutil::requestBytes("POST", "/import", pushBody(2000, "p"), key));
        PhoneRequest pull(port(), testutil::requestBytes("GET", "/export", {}, key));
        QCOMPARE(push.answer().status, 200);
        QCOMPARE(pull.answer().status, 200);
        QVERIFY(QTest::qWaitFor(
            [&flood] { return std::all_of(flood.begin(), flood.end(), [](const auto &t) { return t->isFinished(); }); },
            120000));
        QCOMPARE(unexpected.load(), 0);
        QVERIFY(idle(*core));

        auto rows = [](const QString &peer, const QString &detail) {
            return testutil::valueFromFile(databasePath(),
                                           QStringLiteral("SELECT COUNT(*) FROM sync_log WHERE peer = '%1' "
                                                          "AND direction = '拒绝' AND summary = '%2'")
                                               .arg(peer, detail))
                .toInt();
        };
        const QString first = QStringLiteral("密钥错误，拒绝访问");
        const QString counted = QStringLiteral("密钥错误，拒绝访问（1 分钟内又 %1 次）").arg(perSource - 1);
        for (const QString &source : sources) {
            QCOMPARE(rows(source, first), 1);
            QCOMPARE(rows(source, counted), 0);
        }
        core->shutDown();
        core.reset();
        for (const QString &source : sources)
            QCOMPARE(rows(source, counted), 1);
        QCOMPARE(testutil::valueFromFile(databasePath(), "SELECT COUNT(*) FROM sync_log").toInt(),
                 2 * sources.size() + 2);
    }

    // The sync-log page shows a pull's and a refusal's row once the storage thread has stored it, without
    // waiting for the timer, even when the storage thread was busy as the phone was answered.
    void syncLogPageShowsStoredRows()
    {
        MainWindow window;
        const testutil::WindowParts t(window);
        window.show();
        t.show(MainWindow::Page::SyncLog);
        QVERIFY(t.settle());
        t.refreshTimer->stop();
        const QTableWidget *records = t.syncLogPage->records();
        auto newest = [records] {
            const QTableWidgetItem *action = records->rowCount() > 0 ? records->item(0, 2) : nullptr;
            const QTableWidgetItem *detail = records->rowCount() > 0 ? records->item(0, 3) : nullptr;
            return action && detail ? action->text() + QLatin1Char(' ') + detail->text() : QString();
        };
        const QList<std::tuple<QByteArray, int, QString>> requests{
            {testutil::requestBytes("GET", "/export", {}, key), 200, QStringLiteral("拉取 手机拉走了主库数据")},
            {testutil::requestBytes("GET", "/export", {}, "OLDKEY"), 401, QStringLiteral("拒绝 密钥错误，拒绝访问")}};
        for (const auto &[request, status, shown] : requests) {
            QSemaphore gate;
            window.programCore().storage()->post([&gate] { gate.acquire(); });
            PhoneRequest phone(port(), request);
            QCOMPARE(phone.answer().status, status);
            QTest::qWait(200);
            QVERIFY(newest() != shown);
            gate.release();
            QTRY_COMPARE_WITH_TIMEOUT(newest(), shown, 3000);
        }
    }

    // The versions of an older program's store have no size noted: they are measured after the start, on
    // the storage thread, and the figures become the bytes they hold.
    void versionSizesNotedAfterStart()
    {
        Database &db = Database::instance();
        QVERIFY(db.open(databasePath(), nullptr));
        for (int i = 0; i < 6; ++i) {
            for (int j = 0; j < i * 50; ++j)
                QVERIFY(!db.upsert("items", {{"id", QStringLiteral("v%1-%2").arg(i).arg(j)}}, nullptr).isEmpty());
            QVERIFY(db.saveVersion(QStringLiteral("v%1").arg(i), QStringLiteral("qt")));
        }
        db.close();
        QVERIFY(testutil::execOnFile(databasePath(), "DROP TABLE version_sizes"));

        ProgramCore core;
        core.start();
        QVERIFY(idle(core));
        const qint64 held =
            testutil::valueFromFile(databasePath(), "SELECT TOTAL(length(CAST(snapshot AS BLOB))) FROM versions")
                .toLongLong();
        QTRY_COMPARE(core.storageFigures().versionBytes, held);
    }

    // A push that arrives before the database is open waits for the opening and the day's backup, and is
    // merged after them: the backup holds the data before it.
    void pushDuringStartupWaitsForTheBackup()
    {
        Database &db = Database::instance();
        QVERIFY(db.open(databasePath(), nullptr));
        QVERIFY(!db.upsert("items", {{"id", "old"}, {"name", "旧"}}, nullptr).isEmpty());
        db.close();

        ProgramCore core;
        QSemaphore gate;
        core.storage()->post([&gate] { gate.acquire(); });
        core.start();
        PhoneRequest push(port(), testutil::requestBytes("POST", "/import", pushBody(1, "p"), key));
        PhoneRequest ping(port(), testutil::requestBytes("GET", "/ping"));
        QCOMPARE(ping.answer().status, 200);
        QTest::qWait(200);
        QVERIFY(!push.isDone());
        gate.release();
        const testutil::Reply &reply = push.answer();
        QCOMPARE(reply.status, 200);
        QVERIFY(idle(core));

        const QString backup = QFileInfo(databasePath())
                                   .dir()
                                   .filePath(QStringLiteral("备份/plindor-%1.db")
                                                 .arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd"))));
        QCOMPARE(testutil::valueFromFile(backup, "SELECT COUNT(*) FROM items").toInt(), 1);
        QCOMPARE(testutil::valueFromFile(databasePath(), "SELECT COUNT(*) FROM items WHERE id = 'p0'").toInt(), 1);
    }

    // While a restore runs, phones are turned away and later writes wait; afterwards every reader, the
    // window's included, sees the restored file.
    void restoreExcludesEverythingElse()
    {
        ProgramCore core;
        core.start();
        QVERIFY(idle(core));
        Database &db = Database::instance();
        QVERIFY(!db.upsert("items", {{"id", "old"}, {"name", "旧"}}, nullptr).isEmpty());
        const QString copy = QDir(db.backupFolder()).filePath(QStringLiteral("plindor-20200101.db"));
        QVERIFY(db.emptyLog(nullptr));
        QVERIFY(QFile::copy(databasePath(), copy));
        QVERIFY(!db.upsert("items", {{"id", "new"}, {"name", "新"}}, nullptr).isEmpty());
        QCOMPARE(db.rows("items").size(), 2);

        QSemaphore gate;
        core.storage()->post([&gate] { gate.acquire(); });
        bool restored = false;
        bool over = false;
        core.restoreBackup(copy, {}, [&](bool done, const QString &, const QString &) {
            restored = done;
            over = true;
        });
        core.storage()->post([] {
            Database::instance().upsert("items", {{"id", "later"}, {"name", "后来"}}, nullptr);
        });

        for (const QByteArray &request :
             {testutil::requestBytes("GET", "/export", {}, key), testutil::requestBytes("GET", "/info", {}, key),
              testutil::requestBytes("POST", "/import", pushBody(1, "p"), key)}) {
            const testutil::Reply reply = testutil::exchange(port(), request);
            QCOMPARE(reply.status, 503);
            QCOMPARE(reply.json().value("error").toString(), QStringLiteral("主库正在从备份恢复，请稍后再试"));
        }
        // The window reads nothing of a file about to be replaced.
        QVERIFY(db.rows("items").isEmpty());

        gate.release();
        QTRY_VERIFY_WITH_TIMEOUT(over, 20000);
        QVERIFY(restored);
        QVERIFY(idle(core));
        QStringList ids;
        for (const QJsonValue &row : db.rows("items"))
            ids << row.toObject().value("id").toString();
        ids.sort();
        QCOMPARE(ids, (QStringList{"later", "old"}));
        const testutil::Reply pull = testutil::exchange(port(), testutil::requestBytes("GET", "/export", {}, key));
        QCOMPARE(pull.status, 200);
        QCOMPARE(itemsIn(pull.body), 2);
    }

    // Closing while a push is merged lets it end: a push acknowledged is stored, one not acknowledged
    // left nothing, and the database is closed cleanly.
    void closingDuringPushKeepsItWhole()
    {
#ifdef Q_OS_WIN
        QSKIP("signals are Unix");
#else
        QTemporaryDir folder;
        const quint16 programPort = testutil::freePort();
        const QString program = testutil::deployProgram(
            QStringLiteral(TOVANIK_EXECUTABLE), folder.path(),
            {{"syncPort", programPort}, {"publicHost", "203.0.113.9"}, {"syncKey", QString::fromLatin1(key)}});
        QVERIFY(!program.isEmpty());
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            environment.remove(QString::fromLatin1(name));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(folder.path());
        process.start(program, {QStringLiteral("--headless")});
        QVERIFY(process.waitForStarted());
        QVERIFY(QTest::qWaitFor(
            [&] {
                return testutil::exchange(programPort, testutil::requestBytes("GET", "/info", {}, key)).status == 200;
            },
            20000));

        constexpr int count = largePush;
        PhoneRequest push(programPort, testutil::requestBytes("POST", "/import", pushBody(count, "p"), key));
        QTest::qWait(300);
        const pid_t pid = pid_t(process.processId());
        QVERIFY(pid > 0);
        ::kill(pid, SIGTERM);
        QTest::qWait(50);
        // A second request to close does not cut the merge short.
        if (process.state() == QProcess::Running)
            ::kill(pid, SIGTERM);
        const testutil::Reply &reply = push.answer();
        QVERIFY(process.state() == QProcess::NotRunning || process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);

        const QString database = folder.filePath(QStringLiteral("data/plindor.db"));
        QVERIFY(!QFile::exists(database + QStringLiteral("-wal")));
        const int stored = testutil::valueFromFile(database, "SELECT COUNT(*) FROM items").toInt();
        QVERIFY2(reply.status == 200 ? stored == count : stored == 0,
                 qPrintable(QStringLiteral("answer %1, %2 items stored").arg(reply.status).arg(stored)));
        QCOMPARE(reply.status, 200);
#endif
    }
};

TOVANIK_TEST_MAIN(StorageThreadTest)
#include "tst_storagethread.moc"
