#include "storage/clock.h"

#include <atomic>
#include <limits>

namespace {

const qint64 running = std::numeric_limits<qint64>::min();
// Read on every row a bulk write stamps, and from the threads that inspect backups.
std::atomic<qint64> stoppedAt{running};

} // namespace

QDateTime Clock::now()
{
    const qint64 stopped = stoppedAt.load(std::memory_order_relaxed);
    return stopped == running ? QDateTime::currentDateTime() : QDateTime::fromMSecsSinceEpoch(stopped);
}

qint64 Clock::msecsSinceEpoch()
{
    const qint64 stopped = stoppedAt.load(std::memory_order_relaxed);
    return stopped == running ? QDateTime::currentMSecsSinceEpoch() : stopped;
}

void Clock::stopAt(const QDateTime &moment)
{
    stoppedAt.store(moment.isValid() ? moment.toMSecsSinceEpoch() : running, std::memory_order_relaxed);
}
