#include "storage/storagethread.h"

#include "storage/threadhandoff.h"

#include <QMetaObject>
#include <QThread>

StorageThread::StorageThread(QObject *parent)
    : QObject(parent)
    , thread(new QThread)
    , worker(new QObject)
{
    thread->setObjectName(QStringLiteral("storage"));
    worker->moveToThread(thread);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    thread->start();
}

StorageThread::~StorageThread()
{
    waitForIdle();
    thread->quit();
    thread->wait();
    delete thread;
}

void StorageThread::post(std::function<void()> job)
{
    enqueue([this, job = std::move(job)] {
        job();
        deliver([] {});
    });
}

void StorageThread::enqueue(std::function<void()> job)
{
    if (unfinished.fetch_add(1) == 0)
        Q_EMIT busyChanged(true);
    // Queued events to one object are delivered in the order posted: jobs run in the order asked.
    handoff::release(worker);
    QMetaObject::invokeMethod(
        worker,
        [this, job = std::move(job)] {
            handoff::acquire(worker);
            job();
        },
        Qt::QueuedConnection);
}

void StorageThread::deliver(std::function<void()> delivery)
{
    // The result goes to this object's thread, where the receiver lives and where it is checked for
    // being gone: a receiver is only deleted on its own thread.
    handoff::release(this);
    QMetaObject::invokeMethod(
        this,
        [this, delivery = std::move(delivery)] {
            handoff::acquire(this);
            delivery();
            if (unfinished.fetch_sub(1) == 1)
                Q_EMIT busyChanged(false);
        },
        Qt::QueuedConnection);
}

void StorageThread::waitForIdle()
{
    if (isStorageThread())
        return;
    // A job queued behind every other one: once it has run, so have they.
    handoff::release(worker);
    QMetaObject::invokeMethod(
        worker, [this] { handoff::release(worker); }, Qt::BlockingQueuedConnection);
    handoff::acquire(worker);
}

bool StorageThread::isStorageThread() const
{
    return QThread::currentThread() == thread;
}
