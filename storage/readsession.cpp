#include "storage/readsession.h"

#include "storage/storagefault.h"

#include <QAtomicInteger>
#include <QSqlError>
#include <QSqlQuery>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

// Far above the Database's own count of openings, so that the two never give the same number.
QAtomicInteger<quint64> serials(quint64(1) << 40);

std::mutex sessionsMutex;
std::condition_variable sessionEnded;
int runningSessions = 0;
bool held = false;

thread_local ReadSession *threadSession = nullptr;

} // namespace

ReadSession::ReadSession(const QString &file)
    : number(serials.fetchAndAddRelaxed(1))
    , name(QStringLiteral("plindor-read-%1").arg(number))
{
    {
        std::lock_guard<std::mutex> lock(sessionsMutex);
        if (held) {
            problem = QStringLiteral("主库正在从备份恢复，请稍后再试");
            return;
        }
        ++runningSessions;
        counted = true;
    }
    outer = threadSession;
    threadSession = this;
    QSqlDatabase connection = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    connection.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
    connection.setDatabaseName(file);
    if (!connection.open()) {
        problem = storagefault::describe(connection.lastError());
        return;
    }
    // The read transaction begins with the first statement after BEGIN; it is begun here, so that
    // every reading after it sees the same state.
    QSqlQuery begin(connection);
    if (!begin.exec(QStringLiteral("BEGIN")) || !begin.exec(QStringLiteral("SELECT count(*) FROM sqlite_master"))) {
        problem = storagefault::describe(begin.lastError());
        return;
    }
    begin.finish();
    open = true;
}

ReadSession::~ReadSession()
{
    if (counted) {
        {
            QSqlDatabase connection = QSqlDatabase::database(name, false);
            if (open)
                QSqlQuery(connection).exec(QStringLiteral("ROLLBACK"));
            connection.close();
        }
        QSqlDatabase::removeDatabase(name);
        threadSession = outer;
        std::lock_guard<std::mutex> lock(sessionsMutex);
        --runningSessions;
        sessionEnded.notify_all();
    }
}

QSqlDatabase ReadSession::database() const
{
    return QSqlDatabase::database(name, false);
}

quint64 ReadSession::newSerial()
{
    return serials.fetchAndAddRelaxed(1);
}

bool ReadSession::isHeld()
{
    std::lock_guard<std::mutex> lock(sessionsMutex);
    return held;
}

ReadSession *ReadSession::current()
{
    return threadSession;
}

void ReadSession::hold()
{
    std::lock_guard<std::mutex> lock(sessionsMutex);
    held = true;
}

bool ReadSession::waitForRunning(int waitMs)
{
    std::unique_lock<std::mutex> lock(sessionsMutex);
    return sessionEnded.wait_for(lock, std::chrono::milliseconds(waitMs), [] { return runningSessions == 0; });
}

void ReadSession::release()
{
    std::lock_guard<std::mutex> lock(sessionsMutex);
    held = false;
}
