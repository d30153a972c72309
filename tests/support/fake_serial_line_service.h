#pragma once

#include "serial_line_service.h"

#include <QtCore>

#include <ostream>

// Failed checks print Qt texts as text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

// A scriptable serial line service: which ports exist, which settings it
// takes, and line events raised on demand. Every property write and every read
// of PortOpen and CommEvent is recorded in order, as "PortOpen=true", "PortOpen?".
class FakeSerialLineService : public serial::SerialLineService {
public:
    using Write = serial::Write;
    std::int16_t CommPort() const override { return port_; }
    Write setCommPort(std::int16_t port) override { return take("CommPort", port, port > 0 && port < 17 && !open_, port_); }
    QString Settings() const override { return settings_; }
    Write setSettings(const QString& s) override { return take("Settings", s, acceptedSettings.contains(s), settings_); }
    bool DTREnable() const override { return dtr_; }
    Write setDTREnable(bool on) override { return take("DTREnable", on, true, dtr_); }
    bool RTSEnable() const override { return rts_; }
    Write setRTSEnable(bool on) override { return take("RTSEnable", on, true, rts_); }
    bool PortOpen() const override { return calls << QStringLiteral("PortOpen?"), open_; }
    Write setPortOpen(bool open) override
    {
        return take("PortOpen", open, !open || open_ || existingPorts.contains(port_), open_);
    }
    std::int16_t CommEvent() const override { return calls << QStringLiteral("CommEvent?"), event_; }
    serial::EdgeTime CommEventTime() const override { return eventTime_; }
    serial::PortInfo portInfo(std::int16_t port) const override
    {
        const bool known = existingPorts.contains(port) || failures.contains(port);
        return {known ? QStringLiteral("/dev/ttyFAKE%1").arg(port - 1) : QString(), {}, failures.value(port)};
    }
    serial::LineCapability lineCapability() const override { return serial::LineCapability::Counters; }

    // Raises OnComm for one event, as the service does on the window's thread.
    void raise(std::int16_t code, serial::EdgeTime at = {}) { event_ = code; eventTime_ = at; if (OnComm) OnComm(); }
    // The open port vanished: the service closes it and says so.
    void losePort() { open_ = false; if (OnPortLost) OnPortLost(); }

    QSet<std::int16_t> existingPorts;                  // ports that open
    QMap<std::int16_t, serial::PortFailure> failures;  // why others fail, for their tooltips
    QStringList acceptedSettings{QStringLiteral("9600,n,8,1"), QStringLiteral("19200,e,7,2")};
    mutable QStringList calls;

private:
    template <typename T>
    Write take(const char* name, const T& value, bool taken, T& field)
    {
        calls << QStringLiteral("%1=%2").arg(QLatin1String(name), QVariant::fromValue(value).toString());
        return taken ? (field = value, Write::Accepted) : Write::Rejected;
    }

    std::int16_t port_ = 1, event_ = 0;
    QString settings_ = QStringLiteral("9600,n,8,1");
    bool dtr_ = false, rts_ = false, open_ = false;
    serial::EdgeTime eventTime_;
};
