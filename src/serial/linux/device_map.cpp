#include "device_map.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <map>
#include <optional>

namespace serial {
namespace {

struct Family {
    QLatin1StringView prefix;
    DeviceKind kind;
};

constexpr std::array<Family, 3> kFamilies{{
    {QLatin1StringView("ttyS"), DeviceKind::OnBoardUart},
    {QLatin1StringView("ttyUSB"), DeviceKind::UsbSerial},
    {QLatin1StringView("ttyACM"), DeviceKind::UsbModem},
}};

// The number after the family's prefix: "ttyUSB12" -> 12.
std::optional<int> deviceNumber(const QString& name, QLatin1StringView prefix)
{
    if (!name.startsWith(prefix))
        return std::nullopt;
    const QString digits = name.mid(prefix.size());
    if (digits.isEmpty() || digits.size() > 6)
        return std::nullopt;
    for (QChar c : digits)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    return digits.toInt();
}

QString attribute(const QString& root, const QString& name, const char* file)
{
    QFile f(QDir::cleanPath(root + QStringLiteral("/sys/class/tty/") + name + QLatin1Char('/') +
                            QLatin1String(file)));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(f.read(64)).trimmed();
}

// Serial core lists every possible ttyS line; type 0 (unknown) has no UART behind it.
bool hasUartHardware(const QString& root, const QString& name)
{
    bool ok = false;
    const int type = attribute(root, name, "type").toInt(&ok);
    return ok && type != 0;
}

// The kernel's consoles: each line says so itself, and older kernels, which
// lack that attribute, list them all under the console device.
QStringList activeConsoles(const QString& root)
{
    return attribute(root, QStringLiteral("console"), "active").split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

bool isConsole(const QString& root, const QString& name, const QStringList& consoles)
{
    return consoles.contains(name) || attribute(root, name, "console") == QLatin1String("Y");
}

QString resolved(const QString& path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

// Resolved device node -> its name under /dev/serial/by-id.
std::map<QString, QString> stableNames(const QString& root)
{
    std::map<QString, QString> names;
    const QDir byId(QDir::cleanPath(root + QStringLiteral("/dev/serial/by-id")));
    for (const QFileInfo& link : byId.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        names.emplace(resolved(link.absoluteFilePath()), QStringLiteral("/dev/serial/by-id/") + link.fileName());
    return names;
}

}  // namespace

std::vector<DeviceEntry> readDeviceMap(const QString& root)
{
    const QDir dev(QDir::cleanPath(root + QStringLiteral("/dev")));
    const QStringList names = dev.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    const auto byId = stableNames(root);
    const QStringList consoles = activeConsoles(root);

    std::vector<DeviceEntry> entries;
    for (const Family& family : kFamilies) {
        std::vector<std::pair<int, QString>> found;
        for (const QString& name : names)
            if (const auto number = deviceNumber(name, family.prefix))
                found.emplace_back(*number, name);
        std::sort(found.begin(), found.end());

        for (const auto& [number, name] : found) {
            if (family.kind == DeviceKind::OnBoardUart && !hasUartHardware(root, name))
                continue;
            if (isConsole(root, name, consoles))
                continue;
            DeviceEntry entry;
            entry.name = name;
            entry.device = QStringLiteral("/dev/") + name;
            entry.openPath = resolved(dev.filePath(name));
            const auto stable = byId.find(entry.openPath);
            if (stable != byId.end())
                entry.stableName = stable->second;
            entry.kind = family.kind;
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

}  // namespace serial
