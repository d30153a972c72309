#include "fake_serial_line_service.h"

using serial::Write;

namespace {
QString yesNo(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }
Write accepted(bool taken) { return taken ? Write::Accepted : Write::Rejected; }
}  // namespace

std::int16_t FakeSerialLineService::CommPort() const { return calls << QStringLiteral("CommPort?"), port_; }
QString FakeSerialLineService::Settings() const { return calls << QStringLiteral("Settings?"), settings_; }
bool FakeSerialLineService::PortOpen() const { return calls << QStringLiteral("PortOpen?"), open_; }
std::int16_t FakeSerialLineService::CommEvent() const { return calls << QStringLiteral("CommEvent?"), event_; }

Write FakeSerialLineService::setCommPort(std::int16_t port)
{
    calls << QStringLiteral("CommPort=%1").arg(port);
    const bool taken = port >= 1 && port <= 16 && !open_;
    if (taken)
        port_ = port;
    return accepted(taken);
}

Write FakeSerialLineService::setSettings(const QString& settings)
{
    calls << QStringLiteral("Settings=") + settings;
    const bool taken = acceptedSettings.contains(settings);
    if (taken)
        settings_ = settings;
    return accepted(taken);
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

Write FakeSerialLineService::setPortOpen(bool open)
{
    calls << QStringLiteral("PortOpen=") + yesNo(open);
    if (!open || open_) {
        open_ = open_ && open;
        return Write::Accepted;
    }
    const auto known = failures.find(port_);
    const bool exists = existingPorts.contains(port_);
    lastFailure_[port_] = exists                  ? serial::PortFailure::None
                          : known != failures.end() ? known->second
                                                    : serial::PortFailure::NoSuchDevice;
    open_ = exists;
    return accepted(exists);
}

serial::PortInfo FakeSerialLineService::portInfo(std::int16_t port) const
{
    serial::PortInfo info;
    if (existingPorts.contains(port) || failures.contains(port))
        info.device = QStringLiteral("/dev/ttyFAKE%1").arg(port - 1);
    if (const auto last = lastFailure_.find(port); last != lastFailure_.end())
        info.lastFailure = last->second;
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
