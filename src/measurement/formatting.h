#pragma once

#include <QLocale>
#include <QString>

#include <cstdint>
#include <optional>

// The four conversions behind every number the window shows or reads. They
// follow the given locale's decimal and digit-group separators; the window
// passes the user's locale.
namespace measurement {

// Rounded to 15 significant digits, plain decimal: no grouping, no exponent,
// no trailing fraction zeros, never "-0". 0.1 + 0.2 reads "0,3" in German.
QString numberText(double value, const QLocale& locale);

// Plain digits, minus sign for negatives, no padding.
QString integerText(std::int16_t value, const QLocale& locale);

// The pattern "0,000": rounded to a whole number (halves away from zero), at
// least four digits, grouped in threes. 1000 reads "1.000" in German.
QString lengthText(double milliseconds, const QLocale& locale);

// A limit typed by the user, blanks around it allowed. Anything that is not a
// finite number yields nullopt.
std::optional<double> limitValue(const QString& text, const QLocale& locale);

}  // namespace measurement
