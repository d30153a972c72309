#include "settings_text.h"

#include <QStringList>

#include <limits>

namespace serial {
namespace {

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

QString withoutBlanks(const QString& field)
{
    qsizetype first = 0;
    qsizetype last = field.size();
    while (first < last && isBlank(field[first]))
        ++first;
    while (last > first && isBlank(field[last - 1]))
        --last;
    return field.mid(first, last - first);
}

// ASCII digits only: no sign, no other scripts' digits, no overflow.
std::optional<std::int64_t> wholeNumber(const QString& field)
{
    if (field.isEmpty() || field.size() > 10)
        return std::nullopt;
    std::int64_t value = 0;
    for (QChar c : field) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

}  // namespace

std::optional<LineSettings> parseSettings(const QString& text)
{
    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4)
        return std::nullopt;

    const auto baud = wholeNumber(withoutBlanks(fields[0]));
    const QString parity = withoutBlanks(fields[1]).toLower();
    const auto data = wholeNumber(withoutBlanks(fields[2]));
    const auto stop = wholeNumber(withoutBlanks(fields[3]));

    if (!baud || *baud < 1 || *baud > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    if (parity.size() != 1 || !QStringLiteral("neoms").contains(parity[0]))
        return std::nullopt;
    if (!data || *data < 5 || *data > 8)
        return std::nullopt;
    if (!stop || (*stop != 1 && *stop != 2))
        return std::nullopt;

    return LineSettings{static_cast<std::int32_t>(*baud), parity[0].toLatin1(), static_cast<int>(*data),
                        static_cast<int>(*stop)};
}

QString settingsText(const LineSettings& settings)
{
    return QStringLiteral("%1,%2,%3,%4")
        .arg(settings.baud)
        .arg(QLatin1Char(settings.parity))
        .arg(settings.dataBits)
        .arg(settings.stopBits);
}

}  // namespace serial
