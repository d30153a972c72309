#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

// The contract with the component that drives one serial port. Property names
// are the component's own. Writes report whether they were taken: a rejected
// write leaves the service exactly as it was, and reads always give what is in
// force.

namespace serial {

// Codes of CommEvent for the modem-status input lines.
inline constexpr std::int16_t comEvCTS = 3;
inline constexpr std::int16_t comEvDSR = 4;
inline constexpr std::int16_t comEvCD = 5;
inline constexpr std::int16_t comEvRing = 6;

enum class Write { Accepted, Rejected };

// When a line changed, taken by the service as the operating system reported
// it: `monotonic` for intervals, `timeOfDay` in seconds since local midnight.
// A change held back until the line kept its level (the debounce) counts
// `countedAfter` later, when it was confirmed.
struct EdgeTime {
    std::chrono::steady_clock::time_point monotonic{};
    double timeOfDay = 0.0;
    std::chrono::steady_clock::duration countedAfter{};
};

// Why the last open or probe of a COM number failed.
enum class PortFailure {
    None,
    NoSuchDevice,
    InUse,
    NoPermission,
    Other,
};

// How the driver of the open port reports changes of the modem lines.
enum class LineCapability {
    Counters,     // kernel edge counters: no edge lost between wake-ups
    WakeUpsOnly,  // woken per change, edges closer than the adapter's reports may merge
    PollingOnly,  // line states polled every millisecond, short pulses may be missed
    None,         // no modem lines reported at all
};

struct PortInfo {
    QString device;      // e.g. /dev/ttyUSB0; empty when nothing stands behind the number
    QString stableName;  // e.g. /dev/serial/by-id/usb-...; empty when there is none
    PortFailure lastFailure = PortFailure::None;
    std::vector<std::int16_t> silentLines;  // codes of the lines its driver never reports (CTS on CDC-ACM)
};

class SerialLineService {
public:
    virtual ~SerialLineService() = default;

    virtual std::int16_t CommPort() const = 0;
    virtual Write setCommPort(std::int16_t port) = 0;

    virtual QString Settings() const = 0;
    virtual Write setSettings(const QString& settings) = 0;

    virtual bool DTREnable() const = 0;
    virtual Write setDTREnable(bool enable) = 0;

    virtual bool RTSEnable() const = 0;
    virtual Write setRTSEnable(bool enable) = 0;

    virtual bool PortOpen() const = 0;
    // true opens the port named by CommPort; false closes it (nothing on a closed one).
    virtual Write setPortOpen(bool open) = 0;

    // The code and time of the event being reported; valid only while OnComm runs.
    virtual std::int16_t CommEvent() const = 0;
    virtual EdgeTime CommEventTime() const = 0;

    // What stands behind a COM number and why its last open or probe failed.
    virtual PortInfo portInfo(std::int16_t port) const = 0;
    // How the open port reports line changes; None while closed.
    virtual LineCapability lineCapability() const = 0;

    // Asks for every edge that happened up to `upTo` (or up to now, if later):
    // true when OnEdgesIn follows once they are raised, false when the service
    // holds none back.
    virtual bool handOverEdges(std::chrono::steady_clock::time_point /*upTo*/) const { return false; }
    // A change counts once the line has kept its new level this long; 0 counts every change.
    virtual std::chrono::milliseconds debounceTime() const { return std::chrono::milliseconds(0); }
    virtual Write setDebounceTime(std::chrono::milliseconds time)
    {
        return time.count() == 0 ? Write::Accepted : Write::Rejected;
    }

    // Raised on the window's thread, one at a time: OnComm once per change of a
    // modem-status line while the port is open; OnPortLost once when the open
    // port vanished and the service closed it by itself.
    // OnEdgesIn answers handOverEdges: every edge up to the time it carries has been raised.
    std::function<void()> OnComm;
    std::function<void()> OnPortLost;
    std::function<void(std::chrono::steady_clock::time_point)> OnEdgesIn;
};

}  // namespace serial
