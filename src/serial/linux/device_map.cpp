#include "device_map.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <set>

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
    return QString::fromLatin1(f.readAll()).trimmed();
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

// The device numbers of the kernel's consoles, from their "major:minor"
// attribute: whatever name opens one of them is a console too.
std::set<dev_t> consoleDevices(const QString& root, const QStringList& consoles)
{
    std::set<dev_t> devices;
    for (const QString& name : consoles) {
        const QStringList numbers = attribute(root, name, "dev").split(QLatin1Char(':'));
        bool majorOk = false;
        bool minorOk = false;
        const unsigned major = numbers.value(0).toUInt(&majorOk);
        const unsigned minor = numbers.value(1).toUInt(&minorOk);
        if (numbers.size() == 2 && majorOk && minorOk)
            devices.insert(makedev(major, minor));
    }
    return devices;
}

bool opensConsole(const QString& path, const std::set<dev_t>& consoles)
{
    struct stat node {};
    return ::stat(QFile::encodeName(path).constData(), &node) == 0 && S_ISCHR(node.st_mode) &&
           consoles.count(node.st_rdev) != 0;
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
    const std::set<dev_t> consoleNodes = consoleDevices(root, consoles);

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
            DeviceEntry entry;
            entry.openPath = resolved(dev.filePath(name));
            if (isConsole(root, name, consoles) || opensConsole(entry.openPath, consoleNodes))
                continue;
            entry.name = name;
            entry.device = QStringLiteral("/dev/") + name;
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
