#pragma once

#include <QDate>
#include <QDateTime>

// The time that storage stamps rows with and names its backups by. It follows the system clock; a test
// may stop it at a moment of its choice, so that a day's backup or a stamp can be told in advance.
class Clock
{
public:
    static QDateTime now();
    static QDate today() { return now().date(); }
    static qint64 msecsSinceEpoch();

    // Stops the clock at moment; an invalid moment lets it follow the system clock again.
    static void stopAt(const QDateTime &moment);
};
