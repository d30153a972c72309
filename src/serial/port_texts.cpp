#include "port_texts.h"

#include <QStringList>

namespace serial {
namespace {

QString failureText(PortFailure failure)
{
    switch (failure) {
    case PortFailure::None:
        return {};
    case PortFailure::NoSuchDevice:
        return QStringLiteral("Gerät nicht vorhanden");
    case PortFailure::InUse:
        return QStringLiteral("Von einem anderen Programm belegt");
    case PortFailure::NoPermission:
        return QStringLiteral("Keine Berechtigung: den Benutzer in die Gruppe „dialout“ aufnehmen "
                              "(sudo adduser $USER dialout) und neu anmelden");
    case PortFailure::Other:
        return QStringLiteral("Lässt sich nicht öffnen");
    }
    return {};
}

QString capabilityText(LineCapability capability)
{
    switch (capability) {
    case LineCapability::Counters:
        return QStringLiteral("Leitungswechsel: Zähler des Treibers, keine Flanke geht verloren");
    case LineCapability::WakeUpsOnly:
        return QStringLiteral("Leitungswechsel: nur Meldungen je Wechsel, Impulse kürzer als das Meldeintervall "
                              "des Adapters können fehlen");
    case LineCapability::PollingOnly:
        return QStringLiteral("Leitungswechsel: nur jede Millisekunde abgefragt, kürzere Impulse können fehlen");
    case LineCapability::None:
        return QStringLiteral("Der Treiber meldet keine Leitungswechsel: hier wird nichts gezählt");
    }
    return {};
}

QString lineName(std::int16_t code)
{
    switch (code) {
    case comEvCTS: return QStringLiteral("CTS");
    case comEvDSR: return QStringLiteral("DSR");
    case comEvCD: return QStringLiteral("DCD");
    default: return QStringLiteral("RI");
    }
}

}  // namespace

QString portToolTip(const PortInfo& info, std::optional<LineCapability> openCapability)
{
    QStringList lines;
    if (info.device.isEmpty())
        lines << QStringLiteral("Kein serielles Gerät unter dieser Nummer");
    else
        lines << QStringLiteral("Gerät: ") + info.device;
    if (!info.stableName.isEmpty())
        lines << info.stableName;
    if (const QString why = failureText(info.lastFailure); !why.isEmpty())
        lines << why;
    if (openCapability)
        lines << capabilityText(*openCapability);
    QStringList silent;
    for (const std::int16_t code : info.silentLines)
        silent << lineName(code);
    if (!silent.isEmpty())
        lines << QStringLiteral("Vom Treiber nie gemeldet: ") + silent.join(QStringLiteral(", "));
    return lines.join(QLatin1Char('\n'));
}

}  // namespace serial
