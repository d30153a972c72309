#include "formatting.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace measurement;

namespace {

const QLocale kGerman(QLocale::German, QLocale::Germany);
const QLocale kEnglish(QLocale::English, QLocale::UnitedStates);

struct NumberRow {
    double value;
    const char* german;
    const char* english;
};

TEST(NumberText, PlainDecimalInBothLocales)
{
    const NumberRow rows[] = {
        {50, "50", "50"},
        {2.5, "2,5", "2.5"},
        {0.5, "0,5", "0.5"},
        {-1000000, "-1000000", "-1000000"},
        {1000000, "1000000", "1000000"},
        {0, "0", "0"},
        {-0.0, "0", "0"},
        {0.1 + 0.2, "0,3", "0.3"},
        {-0.25, "-0,25", "-0.25"},
        {1e20, "100000000000000000000", "100000000000000000000"},
        {1e-7, "0,0000001", "0.0000001"},
        {123456789012345678.0, "123456789012346000", "123456789012346000"},
        {1.0 / 3, "0,333333333333333", "0.333333333333333"},
        {0.9999999999999999, "1", "1"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(numberText(row.value, kGerman), QString::fromUtf8(row.german)) << row.value;
        EXPECT_EQ(numberText(row.value, kEnglish), QString::fromUtf8(row.english)) << row.value;
    }
    const QString tiny = numberText(-1e-300, kGerman);
    EXPECT_TRUE(tiny.startsWith(QStringLiteral("-0,000"))) << tiny.toStdString();
    EXPECT_TRUE(tiny.endsWith(QStringLiteral("01"))) << tiny.toStdString();
    EXPECT_FALSE(tiny.contains(QLatin1Char('e')));
}

TEST(IntegerText, PlainDigitsWithoutBlank)
{
    for (const auto& [value, text] : {std::pair<std::int16_t, const char*>{3, "3"}, {-7, "-7"}, {32767, "32767"}})
        EXPECT_EQ(integerText(value, kGerman), QString::fromLatin1(text));
}

TEST(LengthText, FourDigitsGroupedInThrees)
{
    const NumberRow rows[] = {
        {1000, "1.000", "1,000"},
        {123.4, "0.123", "0,123"},
        {7, "0.007", "0,007"},
        {999.6, "1.000", "1,000"},
        {0, "0.000", "0,000"},
        {0.5, "0.001", "0,001"},      // halves away from zero
        {-0.5, "-0.001", "-0,001"},
        {-0.4, "0.000", "0,000"},     // no "-0"
        {1234567, "1.234.567", "1,234,567"},
        {-1234, "-1.234", "-1,234"},
        {100.0000001, "0.100", "0,100"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(lengthText(row.value, kGerman), QString::fromUtf8(row.german)) << row.value;
        EXPECT_EQ(lengthText(row.value, kEnglish), QString::fromUtf8(row.english)) << row.value;
    }
    EXPECT_EQ(lengthText(1e300, kGerman).size(), 301 + 100) << "301 digits, 100 separators";
}

TEST(LimitValue, ReadsTheLocalesDecimalNumbers)
{
    struct Row {
        const char* text;
        const QLocale& locale;
        std::optional<double> expected;
    };
    const Row rows[] = {
        {"10", kGerman, 10},
        {"10", kEnglish, 10},
        {"10,5", kGerman, 10.5},
        {"10.5", kEnglish, 10.5},
        {"  1000 ", kGerman, 1000},
        {"\t-3,25\t", kGerman, -3.25},
        {"", kGerman, std::nullopt},
        {"   ", kEnglish, std::nullopt},
        {"abc", kGerman, std::nullopt},
        {"10 Hz", kGerman, std::nullopt},
        {"inf", kEnglish, std::nullopt},
        {"nan", kGerman, std::nullopt},
        {"1e309", kEnglish, std::nullopt},
        {"-1e309", kGerman, std::nullopt},
        {"10,5,5", kGerman, std::nullopt},
        {"-0", kGerman, 0},
        {"\x01\x02\t\n\r\x1b\x7f" "5", kGerman, std::nullopt},
        {"\xff\xfe\xc0\xaf" "5\xed\xa0\x80", kGerman, std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(limitValue(QString::fromUtf8(row.text), row.locale), row.expected)
            << '"' << row.text << "\" in " << row.locale.name().toStdString();
    }
    // Beyond what a double holds, however it is written.
    for (const QString& huge : {QString(10000, u'7'), QStringLiteral("1") + QString(400, u'0')})
        EXPECT_EQ(limitValue(huge, kGerman), std::nullopt);
}

}  // namespace
