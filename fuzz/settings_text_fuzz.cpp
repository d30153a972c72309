// Feeds arbitrary bytes to the settings reader as the settings box would hand
// them over. Whatever it accepts must come back in its read-back form, which
// reads again as the very same settings, and stays within what a port takes.
#include "settings_text.h"

#include <QString>

#include <cstddef>
#include <cstdint>

namespace {

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto settings = serial::parseSettings(text);
    if (!settings)
        return 0;

    check(settings->baud > 0);
    check(QByteArrayView("neoms").contains(settings->parity));
    check(settings->dataBits >= 5 && settings->dataBits <= 8);
    check(settings->stopBits == 1 || settings->stopBits == 2);

    const QString readBack = serial::settingsText(*settings);
    const auto again = serial::parseSettings(readBack);
    check(again.has_value() && *again == *settings);
    check(serial::settingsText(*again) == readBack);
    return 0;
}
