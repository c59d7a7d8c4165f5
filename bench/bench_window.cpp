// The window while storage works: the program runs in this process with its data page shown (run it on a
// real display, QT_QPA_PLATFORM=xcb under Xvfb), a timer on the window's thread notes every 5 ms the longest
// gap between its turns, and a "/ping" is sent 0.3 s into each action from another thread. The actions:
//  - a push of N new items, then of 5N more;
//  - a version of the whole store, stored by hand from the history page;
//  - a rollback to the version of N items;
//  - an "/export" sent during the large push, and one right after a push's answer, against
//    `sqlite3 -json` printing the same rows;
//  - a start over a store of versions of the given size (--store-mb), today's backup not yet made.
// Prints the figures; run it by hand or through scripts/bench.sh window.
//   bench_window [items] [--store-mb MB...]     (default: 20000, stores of 1500 and 4000 MB)

#include "app/paths.h"
#include "benchfigures.h"
#include "datagen.h"
#include "storage/database.h"
#include "tests/rawsocket.h"
#include "tests/testhttp.h"
#include "tests/testutil.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>

namespace {

using benchfigures::Heartbeat;

const QByteArray syncKey = "BENCHKEY2345";

struct Answer
{
    int status = 0;
    QByteArray body;
    double seconds = -1;
};

// One request over a blocking socket, as a phone on another thread sends it.
Answer call(quint16 port, const QByteArray &method, const QByteArray &path, const QByteArray &body = {})
{
    Answer answer;
    QElapsedTimer clock;
    clock.start();
    const rawsocket::Handle fd = rawsocket::connectTo(port, false);
    if (fd == rawsocket::invalid)
        return answer;
    const QByteArray request = testutil::requestBytes(method, path, body, syncKey);
    for (qsizetype sent = 0; sent < request.size();) {
        const qint64 step = rawsocket::send(fd, request.constData() + sent, request.size() - sent);
        if (step <= 0)
            break;
        sent += step;
    }
    QByteArray raw;
    char buffer[65536];
    for (qint64 got; (got = rawsocket::receive(fd, buffer, sizeof buffer)) > 0;)
        raw.append(buffer, got);
    rawsocket::close(fd);
    answer.seconds = clock.nsecsElapsed() / 1e9;
    const qsizetype blank = raw.indexOf("\r\n\r\n");
    answer.status = raw.mid(9, 3).toInt();
    answer.body = blank < 0 ? QByteArray() : raw.mid(blank + 4);
    return answer;
}

struct Figures
{
    double seconds = 0;
    qint64 stallMs = 0;
    double pingMs = -1;
};

// Runs an action until done() holds, with the heartbeat noting stalls and a ping 0.3 s into it.
Figures measure(Heartbeat &heartbeat, quint16 port, const std::function<void()> &start,
                const std::function<bool()> &done)
{
    Figures figures;
    heartbeat.reset();
    QElapsedTimer clock;
    clock.start();
    std::atomic<bool> pinged{false};
    std::thread pinger([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        figures.pingMs = call(port, "GET", "/ping").seconds * 1000;
        pinged = true;
    });
    start();
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    figures.seconds = clock.nsecsElapsed() / 1e9;
    // The ping is answered by this thread.
    while (!pinged)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    pinger.join();
    figures.stallMs = heartbeat.longestMs();
    return figures;
}

void print(const char *what, const Figures &figures)
{
    std::printf("  %-52s %6.2f s, window's longest stall %4lld ms, /ping %5.1f ms (targets <= 50 ms)\n", what,
                figures.seconds, figures.stallMs, figures.pingMs);
}

double shellSeconds(const QString &database)
{
    QStringList statements;
    for (const char *table : {"items", "transactions", "categories", "locations", "customers", "relations"})
        statements << QStringLiteral("SELECT * FROM %1 WHERE deleted = 0;").arg(QLatin1String(table));
    QProcess shell;
    shell.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    shell.start(QStringLiteral("sqlite3"), {QStringLiteral("-json"), database, statements.join(' ')});
    shell.waitForFinished(-1);
    return clock.nsecsElapsed() / 1e9;
}

int itemsIn(const QByteArray &document)
{
    return int(QJsonDocument::fromJson(document).object().value("items").toArray().size());
}

// Pushes on a thread of its own; done once answered.
struct Push
{
    std::atomic<bool> answered{false};
    Answer answer;
    std::thread thread;

    void start(quint16 port, const QByteArray &body)
    {
        thread = std::thread([this, port, body] {
            answer = call(port, "POST", "/import", body);
            answered = true;
        });
    }
    ~Push()
    {
        if (thread.joinable())
            thread.join();
    }
};

QByteArray document(int items, quint32 seed)
{
    return QJsonDocument(datagen::snapshotDocument(items, seed)).toJson(QJsonDocument::Compact);
}

void resetFolder(quint16 port)
{
    testutil::resetProgramFolder({{"syncPort", port},
                                  {"publicHost", "203.0.113.9"},
                                  {"syncKey", QString::fromLatin1(syncKey)},
                                  {"deviceName", "电脑主库"}});
}

void measureActions(int count)
{
    const quint16 port = testutil::freePort();
    resetFolder(port);
    MainWindow window;
    window.show();
    const testutil::WindowParts t(window);
    t.show(MainWindow::Page::Data);
    Heartbeat heartbeat;
    StorageThread *storage = window.programCore().storage();
    const auto idle = [storage] { return storage->isIdle(); };

    std::printf("the window with its data page shown (%s)\n", qPrintable(QGuiApplication::platformName()));
    {
        Push push;
        const QByteArray body = document(count, 1);
        print(
            qPrintable(QStringLiteral("push of %1 items (%2 MiB)").arg(count).arg(body.size() / 1048576.0, 0, 'f', 1)),
            measure(
                heartbeat, port, [&] { push.start(port, body); }, [&] { return push.answered.load(); }));
    }
    {
        Push push;
        const QByteArray body = document(5 * count, 2);
        Answer during;
        std::atomic<bool> pulled{false};
        std::thread puller;
        const Figures figures = measure(
            heartbeat, port,
            [&] {
                push.start(port, body);
                puller = std::thread([&] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(500));
                    during = call(port, "GET", "/export");
                    pulled = true;
                });
            },
            [&] { return push.answered.load(); });
        while (!pulled)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        puller.join();
        print(
            qPrintable(
                QStringLiteral("push of %1 more items (%2 MiB)").arg(5 * count).arg(body.size() / 1048576.0, 0, 'f', 1)),
            figures);
        const int items = itemsIn(during.body);
        std::printf("  /export sent 0.5 s into that push: %d, %d items (%s), %.2f s; sqlite3 -json of that state "
                    "afterwards %.2f s\n",
                    during.status, items, items == count || items == 6 * count ? "whole" : "MIXED", during.seconds,
                    shellSeconds(databasePath()));
    }
    {
        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Ok}, &seen);
        print("a version of the whole store, by hand",
              measure(
                  heartbeat, port,
                  [&] { testutil::findButton(t.historyPage, QStringLiteral("立即存档一个版本"))->click(); }, idle));
    }
    {
        t.show(MainWindow::Page::History);
        // Newest first: the version by hand, the one before the large push, the one before the first.
        t.historyPage->versionList()->selectRow(1);
        QList<testutil::SeenBox> seen;
        testutil::answerBoxes({QMessageBox::Yes, QMessageBox::Ok}, &seen);
        print(qPrintable(QStringLiteral("a rollback to the version of %1 items").arg(count)),
              measure(
                  heartbeat, port,
                  [&] { testutil::findButton(t.historyPage, QStringLiteral("回滚到选中版本"))->click(); }, idle));
        t.show(MainWindow::Page::Data);
    }
    {
        Push push;
        push.start(port, document(count, 3));
        while (!push.answered)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        Answer pulled;
        std::atomic<bool> over{false};
        std::thread puller([&] {
            pulled = call(port, "GET", "/export");
            over = true;
        });
        while (!over)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        puller.join();
        const double shell = shellSeconds(databasePath());
        std::printf("  /export right after a push's answer %.2f s (%d items), sqlite3 -json %.2f s: ratio %.2f "
                    "(target <= 1.5)\n",
                    pulled.seconds, itemsIn(pulled.body), shell, pulled.seconds / shell);
    }
}

// Notes the first paint of any widget: what comes before it is the window being built, not storage at work.
class FirstPaint : public QObject
{
public:
    bool painted = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            painted = true;
        return QObject::eventFilter(watched, event);
    }
};

// A store grown to about megabytes by versions of count items, its day's backup not yet made: the window
// is built and shown at once, and phones are answered while the store is opened and backed up.
void measureStart(int count, int megabytes)
{
    const quint16 port = testutil::freePort();
    resetFolder(port);
    {
        Database &db = Database::instance();
        db.open(databasePath(), nullptr);
        db.merge(datagen::snapshotDocument(count, 7));
        while (QFileInfo(databasePath()).size() + QFileInfo(databasePath() + QStringLiteral("-wal")).size()
               < qint64(megabytes) * 1024 * 1024)
            db.saveVersion(QStringLiteral("bench"), QStringLiteral("qt"));
        db.close();
    }
    const double storeMb = QFileInfo(databasePath()).size() / 1048576.0;

    Heartbeat heartbeat;
    QElapsedTimer clock;
    clock.start();
    std::atomic<qint64> firstPingMs{-1};
    std::atomic<bool> stop{false};
    std::thread pinger([&] {
        while (!stop && firstPingMs < 0) {
            if (call(port, "GET", "/ping").status == 200)
                firstPingMs = clock.elapsed();
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    MainWindow window;
    FirstPaint firstPaint;
    qApp->installEventFilter(&firstPaint);
    window.show();
    while (!firstPaint.painted)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const qint64 shownMs = clock.elapsed();
    heartbeat.reset();
    StorageThread *storage = window.programCore().storage();
    while (!window.programCore().isDatabaseReady() || !storage->isIdle() || firstPingMs < 0)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const double backupSeconds = clock.nsecsElapsed() / 1e9;
    stop = true;
    while (firstPingMs < 0)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    pinger.join();
    std::printf("a start over a store of %.0f MB, today's backup not yet made\n", storeMb);
    std::printf("  window painted after %lld ms, first /ping answered %lld ms after the start (target <= 1000), "
                "opened and backed up after %.2f s, window's longest stall from its first paint on %lld ms "
                "(target <= 50)\n",
                shownMs, firstPingMs.load(), backupSeconds, heartbeat.longestMs());
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int count = 20000;
    QList<int> storesMb;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--store-mb" && i + 1 < argc)
            storesMb << QByteArray(argv[++i]).toInt();
        else
            count = QByteArray(argv[i]).toInt();
    }
    if (storesMb.isEmpty())
        storesMb = {1500, 4000};
    measureActions(count);
    for (const int megabytes : std::as_const(storesMb))
        measureStart(count, megabytes);
    return 0;
}
