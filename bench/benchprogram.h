#pragma once

// The real program copied into a folder of a benchmark's own, serving phones on port with key.

#include "tests/testnet.h"

#include <QJsonObject>
#include <QString>

#include <cstdio>

namespace benchprogram {

// The copied executable, or empty (and said on standard error) when it cannot be put there.
inline QString deploy(const QString &program, const QString &folder, quint16 port, const QString &key,
                      const QString &deviceName = QStringLiteral("电脑主库"))
{
    const QString executable = testutil::deployProgram(
        program, folder,
        {{"syncPort", port}, {"syncKey", key}, {"deviceName", deviceName}, {"publicHost", "203.0.113.9"}});
    if (executable.isEmpty())
        std::fprintf(stderr, "cannot deploy %s\n", qPrintable(program));
    return executable;
}

} // namespace benchprogram
