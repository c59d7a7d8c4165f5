#pragma once

#include <QList>
#include <QString>

#include <vector>

// Counts the requests refused for a wrong key, so that a client without the key costs at most two
// sync-log rows per address and minute, however often it asks: the first refusal of an address's minute
// gets a row of its own, later ones are only counted, and the count gets one row when the minute is over.
// Memory stays bounded: beyond maxAddresses addresses in their minute, the rest are counted together.
// Pure: fed with the peer and the time, it says what to write.
class RefusalTally
{
public:
    static constexpr qint64 windowMs = 60000;
    static constexpr int defaultMaxAddresses = 256;

    // The refusals counted after an address's first in one minute.
    struct Count
    {
        QString peer;
        int times = 0;
    };

    explicit RefusalTally(int maxAddresses = defaultMaxAddresses);

    // What one refusal asks to be written.
    struct Note
    {
        // The first of its minute: a row of its own, under loggedAs.
        bool ownRow = false;
        // The peer, or overflowPeer() when too many addresses are counted already.
        QString loggedAs;
        // The counts of the minutes that were over before it, as due() gives them.
        QList<Count> ended;
    };

    Note note(const QString &peer, qint64 nowMs);
    // The counts of the minutes over by nowMs, oldest first; the addresses are forgotten.
    QList<Count> due(qint64 nowMs);
    // Every count still open, for the end of the service.
    QList<Count> takeAll();
    bool isEmpty() const { return open.empty(); }
    // The peers being counted, the overflow among them: never more than maxAddresses.
    int addresses() const { return int(open.size()); }

    // The peer under which the addresses beyond the bound are counted.
    static QString overflowPeer();
    // "密钥错误，拒绝访问（1 分钟内又 %1 次）"
    static QString countSummary(int times);

private:
    struct Window
    {
        QString peer;
        qint64 start = 0;
        int more = 0;
    };

    Window *find(const QString &peer);

    int maxAddresses;
    // In the order their minutes began, so the oldest are first to end.
    std::vector<Window> open;
};
