#pragma once

#include <QObject>
#include <QPointer>

#include <atomic>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

class Mailbox;
class QThread;

// The one thread that writes: it owns the database's read-write connection, and every change (a
// phone's merge, the operator's saves, versions, rollbacks, restores, the daily backup, the sync-log
// rows) runs on it as a job, one after the other in the order asked. Whoever asks goes on at once and
// hears of the result on its own thread, so that neither the window nor a phone waits for a write it
// did not ask for.
class StorageThread : public QObject
{
    Q_OBJECT

public:
    explicit StorageThread(QObject *parent = nullptr);
    // Runs every job asked so far, then stops the thread.
    ~StorageThread() override;

    // Runs job on the storage thread after every job asked before it. With a receiver, done(result) runs
    // on the thread this object lives on once the job is over, unless the receiver is gone by then.
    void post(std::function<void()> job);
    template<typename Job, typename Done>
    void post(QObject *receiver, Job job, Done done)
    {
        using Result = std::invoke_result_t<Job>;
        QPointer<QObject> guard(receiver);
        if constexpr (std::is_void_v<Result>) {
            enqueue([this, guard, job = std::move(job), done = std::move(done)]() mutable {
                job();
                deliver([guard, done = std::move(done)]() mutable {
                    if (guard)
                        done();
                });
            });
        } else {
            enqueue([this, guard, job = std::move(job), done = std::move(done)]() mutable {
                auto result = std::make_shared<Result>(job());
                deliver([guard, done = std::move(done), result]() mutable {
                    if (guard)
                        done(std::move(*result));
                });
            });
        }
    }

    // The same where a writer thread runs, else the job here and now, and done right after it: for
    // callers that also work without one (a page or a service on its own in a test).
    template<typename Job, typename Done>
    static void run(StorageThread *writer, QObject *receiver, Job job, Done done)
    {
        if (writer) {
            writer->post(receiver, std::move(job), std::move(done));
        } else if constexpr (std::is_void_v<std::invoke_result_t<Job>>) {
            job();
            done();
        } else {
            done(job());
        }
    }

    // No job asked is still waiting, running or having its result delivered.
    bool isIdle() const { return unfinished.load() == 0; }
    // Blocks until every job asked so far is over; their results are delivered once this thread's event
    // loop runs again. For the end of the program and for tests.
    void waitForIdle();
    bool isStorageThread() const;
    // Where the jobs run: a caller on another thread may wait on it for a write of its own.
    Mailbox *home() const { return worker; }

private:
    void enqueue(std::function<void()> job);
    void deliver(std::function<void()> delivery);

    QThread *thread = nullptr;
    Mailbox *worker = nullptr;
    Mailbox *replies = nullptr;
    std::atomic<int> unfinished{0};
};
