#include "storage/storagethread.h"

#include "storage/handoff.h"

#include <QThread>

StorageThread::StorageThread(QObject *parent)
    : QObject(parent)
    , thread(new QThread)
    , worker(new Mailbox)
    , replies(new Mailbox(this))
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
    ++unfinished;
    // A mailbox runs what is posted to it in the order posted: jobs run in the order asked.
    worker->post(std::move(job));
}

void StorageThread::deliver(std::function<void()> delivery)
{
    // The result goes to this object's thread, where the receiver lives and where it is checked for
    // being gone: a receiver is only deleted on its own thread.
    replies->post([this, delivery = std::move(delivery)] {
        delivery();
        --unfinished;
    });
}

void StorageThread::waitForIdle()
{
    if (isStorageThread())
        return;
    // A job queued behind every other one: once it has run, so have they.
    worker->call([] {});
}

bool StorageThread::isStorageThread() const
{
    return QThread::currentThread() == thread;
}
