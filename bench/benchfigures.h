#pragma once

// What several benchmarks measure alike: the process's memory as /proc tells it, and how long the
// window's thread went without turning.

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace benchfigures {

// A line of /proc/self/status in kB (VmRSS, VmHWM), or -1 where there is none.
inline qint64 statusKb(const char *key)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Resets the peak resident size, so that VmHWM afterwards is the peak of one operation. Freed heap goes
// back to the system first: otherwise an operation that reuses it shows no growth at all.
inline bool resetPeak()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
    QFile file(QStringLiteral("/proc/self/clear_refs"));
    return file.open(QIODevice::WriteOnly) && file.write("5") == 1;
}

// The longest time the window's thread took between two turns of a 5 ms timer.
class Heartbeat : public QObject
{
public:
    Heartbeat()
    {
        timer.setInterval(5);
        timer.setTimerType(Qt::PreciseTimer);
        connect(&timer, &QTimer::timeout, this, [this] { longest = qMax(longest, last.restart()); });
        last.start();
        timer.start();
    }
    void reset()
    {
        last.restart();
        longest = 0;
    }
    qint64 longestMs() const { return longest; }

private:
    QTimer timer;
    QElapsedTimer last;
    qint64 longest = 0;
};

} // namespace benchfigures
