#pragma once

#include "serial_line_service.h"

#include <QtCore>

#include <ostream>

// Failed checks print Qt texts as text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

// A scriptable serial line service: which ports exist (it takes any settings
// text but "kaputt"), and line events raised on demand; whoever raises one has
// set the handler. Every property write and every read
// of CommEvent is recorded in order, as "PortOpen=true", "CommEvent?".
class FakeSerialLineService : public serial::SerialLineService {
public:
    using Write = serial::Write;
    std::int16_t CommPort() const override { return port_; }
    Write setCommPort(std::int16_t port) override { return take("CommPort", port, port > 0 && port < 17 && !open_, port_); }
    QString Settings() const override { return settings_; }
    Write setSettings(const QString& s) override { return take("Settings", s, s != QStringLiteral("kaputt"), settings_); }
    bool DTREnable() const override { return dtr_; }
    Write setDTREnable(bool on) override { return take("DTREnable", on, true, dtr_); }
    bool RTSEnable() const override { return rts_; }
    Write setRTSEnable(bool on) override { return take("RTSEnable", on, true, rts_); }
    bool PortOpen() const override { return open_; }
    Write setPortOpen(bool open) override { return take("PortOpen", open, !open || existingPorts.contains(port_), open_); }
    std::int16_t CommEvent() const override
    {
        calls << QStringLiteral("CommEvent?");
        return event_;
    }
    serial::EdgeTime CommEventTime() const override { return eventTime_; }
    serial::PortInfo portInfo(std::int16_t port) const override { return {{}, {}, failures.value(port), {}}; }
    serial::LineCapability lineCapability() const override { return serial::LineCapability::Counters; }
    std::chrono::milliseconds debounceTime() const override { return debounce; }
    Write setDebounceTime(std::chrono::milliseconds time) override { return debounce = time, Write::Accepted; }
    bool handOverEdges(std::chrono::steady_clock::time_point upTo) const override { return asked = upTo, holdsEdges; }

    // Raises OnComm for one event, as the service does on the window's thread.
    void raise(std::int16_t code, serial::EdgeTime at = {})
    {
        event_ = code;
        eventTime_ = at;
        OnComm();
    }

    QSet<std::int16_t> existingPorts;                  // ports that open
    QMap<std::int16_t, serial::PortFailure> failures;  // why others fail, for their tooltips
    mutable QStringList calls;
    std::chrono::milliseconds debounce{0};
    bool holdsEdges = false;  // edges up to the time asked come later
    mutable std::chrono::steady_clock::time_point asked;

private:
    template <typename T> Write take(const char* name, const T& value, bool taken, T& field)
    {
        calls << QStringLiteral("%1=%2").arg(QLatin1String(name), QVariant::fromValue(value).toString());
        if (taken)
            field = value;
        return taken ? Write::Accepted : Write::Rejected;
    }

    std::int16_t port_ = 1, event_ = 0;
    QString settings_ = QStringLiteral("9600,n,8,1");
    bool dtr_ = false, rts_ = false, open_ = false;
    serial::EdgeTime eventTime_;
};
