#pragma once

#include "sync/httprequest.h"
#include "sync/refusaltally.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class Mailbox;
class QTcpServer;
class QThreadPool;
class QTimer;
class StorageThread;
class SyncConnection;

// The HTTP/1.1 service through which phones pull and push: one request per connection, JSON answers.
// The sockets live on the thread that runs it; a push and every sync-log row go to the storage thread as
// jobs, and a pull or "/info" reads on a thread of its own, so that no request waits for another's
// writing and "/ping" is answered at once.
class SyncServer : public QObject
{
    Q_OBJECT

public:
    explicit SyncServer(QObject *parent = nullptr);
    // Waits for the readings still running.
    ~SyncServer() override;

    // The thread that writes; without one, writes run here as they are asked.
    void setStorage(StorageThread *writer) { storage = writer; }
    // While the database is being opened and checked, requests for its data wait; they are served,
    // or refused with the reason, once the opening is over.
    void setOpening(bool opening);
    bool isOpening() const { return opening; }
    // Stops taking connections; those open still get their answers.
    void stopListening();
    // Requests taken whose answers are not yet out: their reading or writing runs, or the answer is
    // still being written.
    bool hasAnswersOutstanding() const;

    bool start(quint16 port);
    // Also writes the refusals still being counted.
    void stop();
    bool isRunning() const { return running; }
    // The port of the last successful start.
    quint16 port() const { return listenPort; }
    // Why the last start failed, as the listener put it; empty after a successful start.
    QString startError() const { return lastStartError; }

    // An empty key lets every request in.
    QString key() const { return syncKey; }
    void setKey(const QString &key) { syncKey = key; }
    QString deviceName() const { return announcedName; }
    void setDeviceName(const QString &deviceName) { announcedName = deviceName; }
    // A connection that neither receives nor sends anything for this long is dropped; it applies to
    // connections accepted from then on.
    int idleTimeout() const { return idleTimeoutMs; }
    void setIdleTimeout(int milliseconds) { idleTimeoutMs = milliseconds; }
    // After an answer the peer may still be sending a body nobody reads; it is read and dropped for at
    // most this long, so that closing does not reset the connection before the peer has read the answer.
    int drainTimeout() const { return drainTimeoutMs; }
    void setDrainTimeout(int milliseconds) { drainTimeoutMs = milliseconds; }
    // While set, "/info", "/export" and "/import" are answered 503 with this reason: the database is being
    // replaced. An empty reason serves them again.
    QString refusal() const { return refusalReason; }
    void setRefusal(const QString &reason) { refusalReason = reason; }

    // Routes one complete request and answers it on its connection; the body is consumed.
    void handleRequest(SyncConnection *connection, HttpRequest request);
    bool checkKey(const HttpRequest &request) const;
    // Whether the answer to a request with this head depends on its body, so that the body is worth waiting for.
    bool readsBody(const HttpRequest &head) const;

Q_SIGNALS:
    // A pull, push or refusal, told once its sync-log row is stored; the refusals only counted are told
    // with the row of their count.
    void activity(const QString &peer, const QString &action, const QString &detail);
    void logMessage(const QString &msg);
    // True just before a pushed document is stored and merged, false once that is over.
    void merging(bool busy);

public Q_SLOTS:
    void onNewConnection();

private:
    QString unavailableReason() const;
    void answerInfo(const QPointer<SyncConnection> &connection);
    void answerPull(const QPointer<SyncConnection> &connection, const HttpRequest &request);
    void answerPush(const QPointer<SyncConnection> &connection, HttpRequest request);
    void answerFault(const QPointer<SyncConnection> &connection, const QString &peer, const QString &what,
                     const QString &reason);
    // Answers a wrong key at once; the refusal is written or counted (RefusalTally).
    void refuse(SyncConnection *connection);
    void writeRefusalCounts(const QList<RefusalTally::Count> &counts);
    // Writes the row on the storage thread and tells of it with activity once it is stored, so that
    // whoever reads the log then finds it.
    void logSync(const QString &peer, const QString &direction, const QString &summary, const QString &detail);
    // Runs read(&failure) on a thread of the readers' pool, inside one read session, and hands its result
    // and failure to done here.
    template<typename Read, typename Done>
    void readAside(Read read, Done done);

    // Open connections are its children, and go with it.
    QTcpServer *listener = nullptr;
    bool running = false;
    quint16 listenPort = 9527;
    QString syncKey;
    QString announcedName = QStringLiteral("电脑主库");
    int idleTimeoutMs = 30000;
    int drainTimeoutMs = 3000;
    QString lastStartError;
    QString refusalReason;
    StorageThread *storage = nullptr;
    QThreadPool *readers = nullptr;
    Mailbox *replies = nullptr;
    bool opening = false;
    QList<std::function<void()>> waitingForOpening;
    int inFlight = 0;
    RefusalTally refusals;
    // Writes the counts of the minutes that are over while nobody is refused.
    QTimer *refusalCounts = nullptr;
};
