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
    std::int16_t CommPort() const override;
    serial::Write setCommPort(std::int16_t port) override;
    QString Settings() const override;
    serial::Write setSettings(const QString& settings) override;
    bool DTREnable() const override { return dtr_; }
    serial::Write setDTREnable(bool enable) override;
    bool RTSEnable() const override { return rts_; }
    serial::Write setRTSEnable(bool enable) override;
    bool PortOpen() const override;
    serial::Write setPortOpen(bool open) override;
    std::int16_t CommEvent() const override;
    serial::EdgeTime CommEventTime() const override { return eventTime_; }
    serial::PortInfo portInfo(std::int16_t port) const override;
    serial::LineCapability lineCapability() const override { return open_ ? capability : serial::LineCapability::None; }

    // Raises OnComm for one event, as the service does on the window's thread.
    void raise(std::int16_t code, serial::EdgeTime at = {});
    // The open port vanished: the service closes it and says so.
    void losePort();

    std::set<std::int16_t> existingPorts;               // ports that open
    std::map<std::int16_t, serial::PortFailure> failures;  // why the others fail (default NoSuchDevice)
    QStringList acceptedSettings{QStringLiteral("9600,n,8,1"), QStringLiteral("19200,e,7,2")};
    serial::LineCapability capability = serial::LineCapability::Counters;

    mutable QStringList calls;

private:
    std::int16_t port_ = 1;
    QString settings_ = QStringLiteral("9600,n,8,1");
    bool dtr_ = false;
    bool rts_ = false;
    bool open_ = false;
    std::int16_t event_ = 0;
    serial::EdgeTime eventTime_;
    std::map<std::int16_t, serial::PortFailure> lastFailure_;
};
