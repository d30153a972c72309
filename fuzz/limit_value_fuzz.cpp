// Feeds arbitrary bytes, as a user could type or paste them, to the limit
// reader in a German and an English locale, and every value it accepts on
// through the readout formatters. Traps on a value or a text that breaks what
// the window relies on.
#include "formatting.h"

#include <QLocale>
#include <QString>

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// Digits with at most one decimal separator and a leading minus: never an
// exponent, a group separator or "-0".
void checkNumberText(const QString& text, const QLocale& locale)
{
    check(!text.isEmpty() && text != QStringLiteral("-0"));
    int separators = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('-'))
            check(i == 0 && text.size() > 1);
        else if (c == locale.decimalPoint().front())
            ++separators;
        else
            check(c >= QLatin1Char('0') && c <= QLatin1Char('9'));
    }
    check(separators <= 1);
}

// The pattern "0,000": at least four digits, grouped in threes from the right.
void checkLengthText(const QString& text, const QLocale& locale)
{
    const QChar group = locale.groupSeparator().front();
    QString digits = text.startsWith(QLatin1Char('-')) ? text.mid(1) : text;
    const qsizetype count = digits.size();
    qsizetype digitCount = 0;
    for (qsizetype i = 0; i < count; ++i) {
        const bool groupPlace = (count - i) % 4 == 0;
        if (groupPlace)
            check(digits[i] == group);
        else {
            check(digits[i] >= QLatin1Char('0') && digits[i] <= QLatin1Char('9'));
            ++digitCount;
        }
    }
    check(digitCount >= 4 && !digits.startsWith(group));
}

void exercise(const QString& text, const QLocale& locale)
{
    const auto limit = measurement::limitValue(text, locale);
    if (!limit)
        return;
    const double value = *limit;
    check(std::isfinite(value));

    const QString number = measurement::numberText(value, locale);
    checkNumberText(number, locale);
    // What a readout shows reads back as a limit, to its 15 digits.
    const auto again = measurement::limitValue(number, locale);
    check(again.has_value());
    check(std::fabs(*again - value) <= 1e-14 * std::fabs(value) + 1e-300);

    checkLengthText(measurement::lengthText(value, locale), locale);
    if (std::isfinite(value * 2000))  // a pulse length as the edge handler forms it
        checkLengthText(measurement::lengthText(value * 2000, locale), locale);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const QLocale german(QLocale::German, QLocale::Germany);
    static const QLocale english(QLocale::English, QLocale::UnitedStates);
    // Invalid UTF-8 becomes replacement characters, as when pasted into a text box.
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    exercise(text, german);
    exercise(text, english);
    return 0;
}
