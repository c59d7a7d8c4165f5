#include "app/paths.h"

#include <QCoreApplication>
#include <QDir>

QString databasePath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("data/plindor.db"));
}

QString configPath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("config.json"));
}

QString lockFilePath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("data/plindor.lock"));
}
