#include "formatting.h"

#include <gtest/gtest.h>

using namespace measurement;

namespace {

const QLocale kGerman(QLocale::German, QLocale::Germany);
const QLocale kEnglish(QLocale::English, QLocale::UnitedStates);

// One row per class of value: the readout's conversion, German text, English text.
TEST(Numbers, ReadoutsAndLimitsInBothLocales)
{
    const std::tuple<QString (*)(double, const QLocale&), double, const char*, const char*> rows[] = {
        // Numbers keep 15 digits and show no exponent, big or small; lengths halve away from zero.
        {numberText, -0.25, "-0,25", "-0.25"}, {numberText, 1e-7, "0,0000001", "0.0000001"},
        {numberText, 123456789012345678.0, "123456789012346000", "123456789012346000"},
        {lengthText, 0.5, "0.001", "0,001"}, {lengthText, -1234567, "-1.234.567", "-1,234,567"},
    };
    for (const auto& [convert, value, de, en] : rows)
        EXPECT_EQ(convert(value, kGerman) + u' ' + convert(value, kEnglish), QString::fromUtf8(de) + u' ' + en) << value;

    // The limits read the locale's plain decimal numbers and nothing else.
    const std::tuple<const char*, const QLocale&, std::optional<double>> limits[] = {
        {"10.5", kEnglish, 10.5},          {"\t-3,25  ", kGerman, -3.25},      {"   ", kGerman, std::nullopt},
        {"10 Hz", kGerman, std::nullopt}, {"inf", kEnglish, std::nullopt}, {"nan", kGerman, std::nullopt},
        {"1e309", kEnglish, std::nullopt},
    };
    for (const auto& [text, locale, expected] : limits)
        EXPECT_EQ(limitValue(QString::fromUtf8(text), locale), expected) << '"' << text << '"';
}

}  // namespace
