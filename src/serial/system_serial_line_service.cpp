#include "system_serial_line_service.h"

namespace serial {
namespace {

// Stands in until the ports of the machine are reached: every open fails.
class NoPortsService : public SerialLineService {
public:
    std::int16_t CommPort() const override { return port_; }
    Write setCommPort(std::int16_t port) override
    {
        if (port < 1 || port > 16)
            return Write::Rejected;
        port_ = port;
        return Write::Accepted;
    }
    QString Settings() const override { return settings_; }
    Write setSettings(const QString&) override { return Write::Rejected; }
    bool DTREnable() const override { return dtr_; }
    Write setDTREnable(bool enable) override { dtr_ = enable; return Write::Accepted; }
    bool RTSEnable() const override { return rts_; }
    Write setRTSEnable(bool enable) override { rts_ = enable; return Write::Accepted; }
    bool PortOpen() const override { return false; }
    Write setPortOpen(bool open) override { return open ? Write::Rejected : Write::Accepted; }
    std::int16_t CommEvent() const override { return 0; }
    EdgeTime CommEventTime() const override { return {}; }
    PortInfo portInfo(std::int16_t) const override { return {{}, {}, PortFailure::NoSuchDevice}; }
    LineCapability lineCapability() const override { return LineCapability::None; }

private:
    std::int16_t port_ = 1;
    QString settings_ = QStringLiteral("9600,n,8,1");
    bool dtr_ = false;
    bool rts_ = false;
};

}  // namespace

std::unique_ptr<SerialLineService> makeSystemSerialLineService()
{
    return std::make_unique<NoPortsService>();
}

}  // namespace serial
