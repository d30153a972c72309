#include "formatting.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

namespace measurement {
namespace {

constexpr int kSignificantDigits = 15;

// The decimal digits of a whole, non-negative, finite value.
std::string wholeDigits(double whole)
{
    std::array<char, 400> buffer{};
    const auto result =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), whole, std::chars_format::fixed, 0);
    return {buffer.data(), result.ptr};
}

QString groupedInThrees(const std::string& digits, const QString& separator)
{
    QString out;
    const auto size = static_cast<int>(digits.size());
    for (int i = 0; i < size; ++i) {
        if (i > 0 && (size - i) % 3 == 0)
            out += separator;
        out += QChar::fromLatin1(digits[static_cast<std::size_t>(i)]);
    }
    return out;
}

}  // namespace

QString numberText(double value, const QLocale& locale)
{
    if (!std::isfinite(value))
        return locale.toString(value);

    // Scientific form with 15 significant digits does the rounding; the digits
    // are then placed by hand, since every locale-aware formatter either groups
    // or switches to exponent form for large and small values.
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), std::fabs(value),
                                      std::chars_format::scientific, kSignificantDigits - 1);
    const std::string_view text(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
    const auto ePos = text.find('e');
    std::string digits;
    for (char c : text.substr(0, ePos))
        if (c != '.')
            digits += c;
    int exponent = 0;
    std::from_chars(text.data() + ePos + 1 + (text[ePos + 1] == '+' ? 1 : 0), text.data() + text.size(), exponent);

    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    if (digits == "0")
        return QStringLiteral("0");

    // `exponent` + 1 digits stand before the decimal separator.
    const int wholeCount = exponent + 1;
    std::string whole;
    std::string fraction;
    if (wholeCount <= 0) {
        whole = "0";
        fraction = std::string(static_cast<std::size_t>(-wholeCount), '0') + digits;
    } else if (static_cast<std::size_t>(wholeCount) >= digits.size()) {
        whole = digits + std::string(static_cast<std::size_t>(wholeCount) - digits.size(), '0');
    } else {
        whole = digits.substr(0, static_cast<std::size_t>(wholeCount));
        fraction = digits.substr(static_cast<std::size_t>(wholeCount));
    }

    QString out = value < 0 ? QStringLiteral("-") : QString();
    out += QString::fromLatin1(whole);
    if (!fraction.empty())
        out += locale.decimalPoint() + QString::fromLatin1(fraction);
    return out;
}

QString integerText(std::int16_t value, const QLocale& /*locale*/)
{
    return QString::number(value);
}

QString lengthText(double milliseconds, const QLocale& locale)
{
    if (!std::isfinite(milliseconds))
        return locale.toString(milliseconds);

    const double whole = std::round(milliseconds);  // halves away from zero
    std::string digits = wholeDigits(std::fabs(whole));
    if (digits.size() < 4)
        digits.insert(0, 4 - digits.size(), '0');
    const QString sign = whole < 0 ? QStringLiteral("-") : QString();
    return sign + groupedInThrees(digits, locale.groupSeparator());
}

std::optional<double> limitValue(const QString& text, const QLocale& locale)
{
    bool ok = false;
    const double value = locale.toDouble(text.trimmed(), &ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

}  // namespace measurement
