#include "storage/handoff.h"

#include <QCoreApplication>
#include <QEvent>
#include <QRunnable>
#include <QThread>
#include <QThreadPool>

#include <condition_variable>
#include <mutex>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);
#endif

namespace {

#if defined(Q_OS_WIN) && defined(Q_CC_MINGW)
// MinGW's runtime frees a thread's thread_local storage before it runs their destructors when the thread
// ends. Qt keeps such a destructor for the stack its JIT-compiled patterns match on, so every thread that
// had matched a QRegularExpression, Qt's own directory filters included, freed a stale pointer as it
// ended and corrupted the heap. Qt matches without compiling when QT_ENABLE_REGEXP_JIT is 0, which it
// reads once, at the first pattern: hence before main.
void matchPatternsWithoutJit()
{
    qputenv("QT_ENABLE_REGEXP_JIT", "0");
}
Q_CONSTRUCTOR_FUNCTION(matchPatternsWithoutJit)
#endif

const QEvent::Type workEvent = QEvent::Type(QEvent::registerEventType());

class WorkEvent : public QEvent
{
public:
    explicit WorkEvent(std::function<void()> work)
        : QEvent(workEvent)
        , work(std::move(work))
    {
    }
    std::function<void()> work;
};

class Task : public QRunnable
{
public:
    explicit Task(std::function<void()> work)
        : work(std::move(work))
    {
    }
    void run() override
    {
        handoff::acquire(this);
        work();
    }

private:
    std::function<void()> work;
};

} // namespace

namespace handoff {

void release([[maybe_unused]] const void *at)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_release(const_cast<void *>(at));
#endif
}

void acquire([[maybe_unused]] const void *at)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(const_cast<void *>(at));
#endif
}

void start(QThreadPool *pool, std::function<void()> work)
{
    auto *task = new Task(std::move(work));
    release(task);
    pool->start(task);
}

void deleteEnded(QThread *thread)
{
    thread->wait();
    delete thread;
}

} // namespace handoff

void Mailbox::post(std::function<void()> work)
{
    auto *event = new WorkEvent(std::move(work));
    handoff::release(event);
    QCoreApplication::postEvent(this, event);
}

void Mailbox::call(const std::function<void()> &work)
{
    std::mutex mutex;
    std::condition_variable ran;
    bool over = false;
    post([&] {
        work();
        const std::lock_guard<std::mutex> lock(mutex);
        over = true;
        ran.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    ran.wait(lock, [&] { return over; });
}

bool Mailbox::event(QEvent *event)
{
    handoff::acquire(event);
    if (event->type() != workEvent)
        return QObject::event(event);
    static_cast<WorkEvent *>(event)->work();
    return true;
}
