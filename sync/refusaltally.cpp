#include "sync/refusaltally.h"

#include <algorithm>

RefusalTally::RefusalTally(int maxAddresses)
    : maxAddresses(qMax(1, maxAddresses))
{
}

QString RefusalTally::overflowPeer()
{
    return QStringLiteral("其他地址");
}

QString RefusalTally::countSummary(int times)
{
    return QStringLiteral("密钥错误，拒绝访问（1 分钟内又 %1 次）").arg(times);
}

RefusalTally::Window *RefusalTally::find(const QString &peer)
{
    const auto at = std::find_if(open.begin(), open.end(), [&peer](const Window &w) { return w.peer == peer; });
    return at == open.end() ? nullptr : &*at;
}

RefusalTally::Note RefusalTally::note(const QString &peer, qint64 nowMs)
{
    Note result;
    // An address whose minute is over starts a new one, with a row of its own.
    result.ended = due(nowMs);
    result.loggedAs = peer;
    // The overflow entry takes the place of one address, so the bound holds with it.
    const auto addresses =
        std::count_if(open.cbegin(), open.cend(), [](const Window &w) { return w.peer != overflowPeer(); });
    if (!find(peer) && addresses >= maxAddresses - 1)
        result.loggedAs = overflowPeer();
    if (Window *window = find(result.loggedAs)) {
        ++window->more;
        return result;
    }
    open.push_back({result.loggedAs, nowMs, 0});
    result.ownRow = true;
    return result;
}

QList<RefusalTally::Count> RefusalTally::due(qint64 nowMs)
{
    QList<Count> counts;
    const auto firstOpen =
        std::find_if(open.begin(), open.end(), [nowMs](const Window &w) { return nowMs - w.start < windowMs; });
    for (auto w = open.begin(); w != firstOpen; ++w) {
        if (w->more > 0)
            counts.append({w->peer, w->more});
    }
    open.erase(open.begin(), firstOpen);
    return counts;
}

QList<RefusalTally::Count> RefusalTally::takeAll()
{
    QList<Count> counts;
    for (const Window &w : open) {
        if (w.more > 0)
            counts.append({w.peer, w.more});
    }
    open.clear();
    return counts;
}
