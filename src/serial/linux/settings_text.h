#pragma once

#include <QString>

#include <compare>
#include <cstdint>
#include <optional>

namespace serial {

// Line settings as the "baud,parity,data,stop" text gives them.
struct LineSettings {
    std::int32_t baud = 9600;
    char parity = 'n';  // one of n e o m s
    int dataBits = 8;   // 5..8
    int stopBits = 1;   // 1 or 2
    friend auto operator<=>(const LineSettings&, const LineSettings&) = default;
};

// The settings a text names, or nothing when it is not exactly four fields of
// the accepted forms; blanks around a field are allowed.
std::optional<LineSettings> parseSettings(const QString& text);

// Read-back form: "9600,n,8,1", parity in lower case.
QString settingsText(const LineSettings& settings);

}  // namespace serial
