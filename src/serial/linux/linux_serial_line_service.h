#pragma once

#include "device_map.h"
#include "line_control.h"
#include "line_event_relay.h"
#include "line_watcher.h"
#include "serial_line_service.h"
#include "settings_text.h"

#include <QSerialPort>
#include <QTimer>

#include <cstdint>
#include <map>
#include <memory>

namespace serial {

// The serial line service over the machine's ports: COM numbers from the
// device map under `root`, opening, settings and locking through QSerialPort,
// the modem lines through `lines` and a watcher thread per open port. Lives on
// one thread, which is where OnComm and OnPortLost are raised.
class LinuxSerialLineService : public SerialLineService {
public:
    LinuxSerialLineService(QString root, std::unique_ptr<LineControl> lines);
    ~LinuxSerialLineService() override;

    std::int16_t CommPort() const override { return commPort_; }
    Write setCommPort(std::int16_t port) override;

    QString Settings() const override { return settingsText(settings_); }
    Write setSettings(const QString& settings) override;

    bool DTREnable() const override { return dtr_; }
    Write setDTREnable(bool enable) override;

    bool RTSEnable() const override { return rts_; }
    Write setRTSEnable(bool enable) override;

    bool PortOpen() const override { return port_.isOpen(); }
    Write setPortOpen(bool open) override;

    std::int16_t CommEvent() const override { return event_; }
    EdgeTime CommEventTime() const override { return eventTime_; }

    PortInfo portInfo(std::int16_t port) const override;
    LineCapability lineCapability() const override;
    bool handOverEdges(std::chrono::steady_clock::time_point upTo) const override;
    std::chrono::milliseconds debounceTime() const override { return debounce_; }
    Write setDebounceTime(std::chrono::milliseconds time) override;

private:
    Write open();
    void close();
    Write failOpen(PortFailure failure);
    bool applySettings(const LineSettings& settings);
    void setControlLine(int bit, bool raised);
    void raiseEdge(std::int16_t code, const EdgeTime& at);
    void portLost();
    void checkHangUp();

    const QString root_;
    const std::shared_ptr<LineControl> lines_;  // shared with the watcher

    std::int16_t commPort_ = 1;
    LineSettings settings_;
    bool dtr_ = false;
    bool rts_ = false;
    std::chrono::milliseconds debounce_{0};
    std::map<std::int16_t, PortFailure> lastFailure_;

    // Declared so that the watcher goes first and the relay last.
    LineEventRelay relay_;
    QSerialPort port_;
    QTimer hangUpCheck_;
    std::uint64_t generation_ = 0;  // of the port open now, or of the last one
    std::shared_ptr<LineWatcher> watcher_;

    std::int16_t event_ = 0;
    EdgeTime eventTime_;
};

}  // namespace serial
