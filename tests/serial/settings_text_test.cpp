#include "fake_line_control.h"
#include "linux_serial_line_service.h"
#include "settings_text.h"

#include <gtest/gtest.h>

#include <memory>

using serial::LineSettings;
using serial::parseSettings;

namespace {

struct Accepted {
    const char* text;
    LineSettings settings;
    const char* readBack;
};

TEST(SettingsText, AcceptedTextsReadBackInTheirPlainForm)
{
    const Accepted table[] = {
        {"9600,n,8,1", {9600, 'n', 8, 1}, "9600,n,8,1"},
        {"19200,E,7,2", {19200, 'e', 7, 2}, "19200,e,7,2"},
        {" 300 , o , 5 , 1 ", {300, 'o', 5, 1}, "300,o,5,1"},
        {"\t115200,M,6,2\t", {115200, 'm', 6, 2}, "115200,m,6,2"},
        {"1,s,8,1", {1, 's', 8, 1}, "1,s,8,1"},
        {"2147483647,n,8,1", {2147483647, 'n', 8, 1}, "2147483647,n,8,1"},
    };
    for (const Accepted& row : table) {
        SCOPED_TRACE(row.text);
        const auto parsed = parseSettings(QString::fromUtf8(row.text));
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(*parsed, row.settings);
        EXPECT_EQ(serial::settingsText(*parsed), QString::fromUtf8(row.readBack));
    }
}

const char* const kRejected[] = {
    "",
    "9600",
    "9600,n,8",
    "9600,n,8,1,",
    "9600,x,8,1",
    "9600,,8,1",
    "9600,ne,8,1",
    "0,n,8,1",
    "-9600,n,8,1",
    "+9600,n,8,1",
    "9600,n,9,1",
    "9600,n,4,1",
    "9600,n,8,3",
    "9600,n,8,0",
    "9600,n,8,1.5",
    "2147483648,n,8,1",
    "99999999999999999999,n,8,1",
    "9600,n,8,1x",
    "9600,n,8,1 x",
    "96 00,n,8,1",
    "9600;n;8;1",
    "9600,n,8,1\n",
    "\xd9\xa9\xd9\xa6\xd9\xa0\xd9\xa0,n,8,1",  // Arabic-Indic digits
};

TEST(SettingsText, RejectedTextsNameNoSettings)
{
    for (const char* text : kRejected) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(parseSettings(QString::fromUtf8(text)).has_value());
    }
}

// The service keeps what is in force when a text is rejected.
TEST(ServiceProperties, TheServiceKeepsThePreviousSettingsOnARejectedText)
{
    serial::LinuxSerialLineService service(QStringLiteral("/nonexistent-root"),
                                           std::make_unique<FakeLineControl>(FakeLineControl::Driver{}));
    EXPECT_EQ(service.Settings(), QStringLiteral("9600,n,8,1"));
    ASSERT_EQ(service.setSettings(QStringLiteral("19200,e,7,2")), serial::Write::Accepted);
    for (const char* text : kRejected) {
        SCOPED_TRACE(text);
        EXPECT_EQ(service.setSettings(QString::fromUtf8(text)), serial::Write::Rejected);
        EXPECT_EQ(service.Settings(), QStringLiteral("19200,e,7,2"));
    }
}

TEST(ServiceProperties, CommPortTakesOneToSixteenOnly)
{
    serial::LinuxSerialLineService service(QStringLiteral("/nonexistent-root"),
                                           std::make_unique<FakeLineControl>(FakeLineControl::Driver{}));
    EXPECT_EQ(service.CommPort(), 1);
    for (std::int16_t port : {0, -1, 17, 32767}) {
        EXPECT_EQ(service.setCommPort(port), serial::Write::Rejected) << port;
        EXPECT_EQ(service.CommPort(), 1);
    }
    EXPECT_EQ(service.setCommPort(16), serial::Write::Accepted);
    EXPECT_EQ(service.CommPort(), 16);
}

}  // namespace
