#include "app/settings.h"

#include "catalogue/records.h"
#include "storage/durablefile.h"

#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>

namespace settings {

namespace {

const QString portName = QStringLiteral("syncPort");
const QString keyName = QStringLiteral("syncKey");
const QString deviceNameName = QStringLiteral("deviceName");
const QString publicHostName = QStringLiteral("publicHost");
const QString keepVersionsName = QStringLiteral("keepVersions");
const QString keepBackupsName = QStringLiteral("keepBackups");

int wholeNumberWithin(const QJsonValue &value, int fallback, int lowest, int highest)
{
    const std::optional<qint64> number = value.isDouble() ? wholeNumber(value.toDouble()) : std::nullopt;
    return number.has_value() ? int(qBound(qint64(lowest), *number, qint64(highest))) : fallback;
}

} // namespace

QJsonObject read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

bool write(const QString &path, const QJsonObject &config, QString *why)
{
    return durablefile::write(path, QJsonDocument(config).toJson(QJsonDocument::Indented), why);
}

QJsonObject firstRun()
{
    return {{portName, defaultPort},
            {deviceNameName, defaultDeviceName},
            {keyName, QString()},
            {publicHostName, QString()}};
}

QString newKey()
{
    static const char alphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    QString key;
    for (int i = 0; i < 12; ++i)
        key.append(QLatin1Char(alphabet[QRandomGenerator::global()->generate() >> 27]));
    return key;
}

int port(const QJsonObject &config)
{
    const QJsonValue value = config.value(portName);
    if (!value.isDouble())
        return defaultPort;
    const double number = value.toDouble();
    if (!wholeNumber(number).has_value() || number < 1 || number > 65535)
        return defaultPort;
    return static_cast<int>(number);
}

QString portOutOfRange(const QJsonObject &config)
{
    const QJsonValue value = config.value(portName);
    const double number = value.toDouble();
    if (value.isDouble() && wholeNumber(number).has_value() && (number < 1 || number > 65535))
        return QString::number(number, 'f', 0);
    return {};
}

int portFromText(const QString &text)
{
    bool isNumber = false;
    const int number = text.trimmed().toInt(&isNumber, 10);
    return isNumber && number >= 1 && number <= 65535 ? number : 0;
}

QString deviceName(const QJsonObject &config)
{
    const QJsonValue value = config.value(deviceNameName);
    return value.isString() ? value.toString() : defaultDeviceName;
}

QString key(const QJsonObject &config)
{
    return storedKey(config).trimmed();
}

QString publicHost(const QJsonObject &config)
{
    return storedPublicHost(config).trimmed();
}

QString storedKey(const QJsonObject &config)
{
    return config.value(keyName).toString();
}

QString storedPublicHost(const QJsonObject &config)
{
    return config.value(publicHostName).toString();
}

bool keyTooShort(const QString &key)
{
    return !key.isEmpty() && key.size() < 4;
}

bool namesPort(const QJsonObject &config)
{
    return config.contains(portName);
}

void setKey(QJsonObject &config, const QString &key)
{
    config.insert(keyName, key);
}

void setPublicHost(QJsonObject &config, const QString &host)
{
    config.insert(publicHostName, host);
}

int keepVersions(const QJsonObject &config)
{
    return wholeNumberWithin(config.value(keepVersionsName), defaultKeepVersions, minKeepVersions, maxKeepVersions);
}

int keepBackups(const QJsonObject &config)
{
    return wholeNumberWithin(config.value(keepBackupsName), defaultKeepBackups, minKeepBackups, maxKeepBackups);
}

void setRetention(QJsonObject &config, int keepVersions, int keepBackups)
{
    config.insert(keepVersionsName, qBound(minKeepVersions, keepVersions, maxKeepVersions));
    config.insert(keepBackupsName, qBound(minKeepBackups, keepBackups, maxKeepBackups));
}

void save(QJsonObject &config, const QString &key, const QString &name, int port, const QString &publicHost)
{
    setKey(config, key);
    config.insert(deviceNameName, name.isEmpty() ? defaultDeviceName : name);
    config.insert(portName, port);
    setPublicHost(config, publicHost);
}

} // namespace settings
