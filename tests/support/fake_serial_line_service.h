#pragma once

#include "serial_line_service.h"

#include <QString>
#include <QStringList>

#include <map>
#include <set>

// A scriptable serial line service: which ports exist, which settings it
// takes, and line events raised on demand. Every property write and every read
// of PortOpen, CommPort, Settings and CommEvent is recorded in order, such as
// "PortOpen=true" or "PortOpen?".
class FakeSerialLineService : public serial::SerialLineService {
public:
    using Write = serial::Write;
    std::int16_t CommPort() const override { return calls << QStringLiteral("CommPort?"), port_; }
    Write setCommPort(std::int16_t port) override
    {
        return take(QStringLiteral("CommPort=%1").arg(port), port >= 1 && port <= 16 && !open_, [&] { port_ = port; });
    }
    QString Settings() const override { return calls << QStringLiteral("Settings?"), settings_; }
    Write setSettings(const QString& text) override
    {
        return take(QStringLiteral("Settings=") + text, acceptedSettings.contains(text), [&] { settings_ = text; });
    }
    bool DTREnable() const override { return dtr_; }
    Write setDTREnable(bool on) override { return take(QStringLiteral("DTREnable=") + yesNo(on), true, [&] { dtr_ = on; }); }
    bool RTSEnable() const override { return rts_; }
    Write setRTSEnable(bool on) override { return take(QStringLiteral("RTSEnable=") + yesNo(on), true, [&] { rts_ = on; }); }
    bool PortOpen() const override { return calls << QStringLiteral("PortOpen?"), open_; }
    Write setPortOpen(bool open) override
    {
        if (!open || open_)
            return take(QStringLiteral("PortOpen=") + yesNo(open), true, [&] { open_ = open_ && open; });
        const auto known = failures.find(port_);
        const bool exists = existingPorts.contains(port_);
        lastFailure_[port_] = exists ? serial::PortFailure::None
                                     : known != failures.end() ? known->second : serial::PortFailure::NoSuchDevice;
        return take(QStringLiteral("PortOpen=true"), exists, [&] { open_ = true; });
    }
    std::int16_t CommEvent() const override { return calls << QStringLiteral("CommEvent?"), event_; }
    serial::EdgeTime CommEventTime() const override { return eventTime_; }
    serial::PortInfo portInfo(std::int16_t port) const override
    {
        serial::PortInfo info;
        if (existingPorts.contains(port) || failures.contains(port))
            info.device = QStringLiteral("/dev/ttyFAKE%1").arg(port - 1);
        if (const auto last = lastFailure_.find(port); last != lastFailure_.end())
            info.lastFailure = last->second;
        return info;
    }
    serial::LineCapability lineCapability() const override
    {
        return open_ ? serial::LineCapability::Counters : serial::LineCapability::None;
    }

    // Raises OnComm for one event, as the service does on the window's thread.
    void raise(std::int16_t code, serial::EdgeTime at = {})
    {
        event_ = code;
        eventTime_ = at;
        if (OnComm)
            OnComm();
        event_ = 0;
    }
    // The open port vanished: the service closes it and says so.
    void losePort()
    {
        open_ = false;
        if (OnPortLost)
            OnPortLost();
    }

    std::set<std::int16_t> existingPorts;               // ports that open
    std::map<std::int16_t, serial::PortFailure> failures;  // why the others fail (default NoSuchDevice)
    QStringList acceptedSettings{QStringLiteral("9600,n,8,1"), QStringLiteral("19200,e,7,2")};
    mutable QStringList calls;

private:
    static QString yesNo(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }
    template <typename Apply>
    Write take(const QString& call, bool taken, Apply apply)
    {
        calls << call;
        if (taken)
            apply();
        return taken ? Write::Accepted : Write::Rejected;
    }

    std::int16_t port_ = 1;
    QString settings_ = QStringLiteral("9600,n,8,1");
    bool dtr_ = false;
    bool rts_ = false;
    bool open_ = false;
    std::int16_t event_ = 0;
    serial::EdgeTime eventTime_;
    std::map<std::int16_t, serial::PortFailure> lastFailure_;
};
