#include "fake_serial_line_service.h"

using serial::Write;

namespace {
QString yesNo(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }
}  // namespace

std::int16_t FakeSerialLineService::CommPort() const
{
    calls << QStringLiteral("CommPort?");
    return port_;
}

Write FakeSerialLineService::setCommPort(std::int16_t port)
{
    calls << QStringLiteral("CommPort=%1").arg(port);
    if (port < 1 || port > 16 || open_)
        return Write::Rejected;
    port_ = port;
    return Write::Accepted;
}

QString FakeSerialLineService::Settings() const
{
    calls << QStringLiteral("Settings?");
    return settings_;
}

Write FakeSerialLineService::setSettings(const QString& settings)
{
    calls << QStringLiteral("Settings=") + settings;
    if (!acceptedSettings.contains(settings))
        return Write::Rejected;
    settings_ = settings;
    return Write::Accepted;
}

Write FakeSerialLineService::setDTREnable(bool enable)
{
    calls << QStringLiteral("DTREnable=") + yesNo(enable);
    dtr_ = enable;
    return Write::Accepted;
}

Write FakeSerialLineService::setRTSEnable(bool enable)
{
    calls << QStringLiteral("RTSEnable=") + yesNo(enable);
    rts_ = enable;
    return Write::Accepted;
}

bool FakeSerialLineService::PortOpen() const
{
    calls << QStringLiteral("PortOpen?");
    return open_;
}

Write FakeSerialLineService::setPortOpen(bool open)
{
    calls << QStringLiteral("PortOpen=") + yesNo(open);
    if (!open) {
        open_ = false;
        return Write::Accepted;
    }
    if (open_)
        return Write::Accepted;
    if (!existingPorts.contains(port_)) {
        const auto known = failures.find(port_);
        lastFailure_[port_] = known != failures.end() ? known->second : serial::PortFailure::NoSuchDevice;
        return Write::Rejected;
    }
    lastFailure_[port_] = serial::PortFailure::None;
    open_ = true;
    return Write::Accepted;
}

std::int16_t FakeSerialLineService::CommEvent() const
{
    calls << QStringLiteral("CommEvent?");
    return event_;
}

serial::PortInfo FakeSerialLineService::portInfo(std::int16_t port) const
{
    serial::PortInfo info;
    if (existingPorts.contains(port) || failures.contains(port))
        info.device = QStringLiteral("/dev/ttyFAKE%1").arg(port - 1);
    const auto last = lastFailure_.find(port);
    info.lastFailure = last != lastFailure_.end() ? last->second : serial::PortFailure::None;
    return info;
}

void FakeSerialLineService::raise(std::int16_t code, serial::EdgeTime at)
{
    event_ = code;
    eventTime_ = at;
    if (OnComm)
        OnComm();
    event_ = 0;
}

void FakeSerialLineService::losePort()
{
    open_ = false;
    if (OnPortLost)
        OnPortLost();
}
