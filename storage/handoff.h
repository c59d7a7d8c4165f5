#pragma once

#include <QObject>

#include <functional>

class QThread;
class QThreadPool;

// Work handed from one thread to another. ThreadSanitizer cannot see the ordering that Qt's queues give,
// since Qt is not built with it: every handoff here tells it, and the work is built before it is handed
// over, so that what the sender wrote is seen as written before the receiver reads it.
namespace handoff {

// Everything written before release(at) on one thread is seen by another after its acquire(at).
void release(const void *at);
void acquire(const void *at);

// Runs work on the pool, the work built here.
void start(QThreadPool *pool, std::function<void()> work);

// Deletes a thread that has signalled finished. The signal is sent from the thread just before it ends:
// the thread is waited for first, which by then returns at once.
void deleteEnded(QThread *thread);

} // namespace handoff

// Runs the work posted to it on the thread it lives on, one after the other in the order posted.
class Mailbox : public QObject
{
public:
    using QObject::QObject;

    void post(std::function<void()> work);
    // Posts work and waits for it to have run; never on the mailbox's own thread.
    void call(const std::function<void()> &work);

protected:
    bool event(QEvent *event) override;
};
