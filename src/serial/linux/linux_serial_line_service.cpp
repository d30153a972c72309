#include "linux_serial_line_service.h"

#include "wait_interrupt.h"

#include <QFile>

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <utility>

namespace serial {
namespace {

constexpr int kHangUpCheckMs = 100;

QSerialPort::Parity parityOf(char letter)
{
    switch (letter) {
    case 'e': return QSerialPort::EvenParity;
    case 'o': return QSerialPort::OddParity;
    case 'm': return QSerialPort::MarkParity;
    case 's': return QSerialPort::SpaceParity;
    default: return QSerialPort::NoParity;
    }
}

// Qt says PermissionError both for a lock or exclusive hold of another program
// and for a node the user may not open; the node's mode tells them apart.
PortFailure failureOf(QSerialPort::SerialPortError error, const QString& path)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return PortFailure::NoSuchDevice;
    case QSerialPort::PermissionError:
        return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0 ? PortFailure::InUse
                                                                                : PortFailure::NoPermission;
    default:
        return PortFailure::Other;
    }
}

// RI as the driver counts it: the 8250 on a pulse's trailing edge, cdc-acm
// once per status report with RI set, so once per pulse on its leading edge;
// either count stands for both edges of a pulse.
bool countsRingPulses(DeviceKind kind)
{
    return kind == DeviceKind::OnBoardUart || kind == DeviceKind::UsbModem;
}

// CDC-ACM's serial state has no CTS: cdc-acm always reads it set.
std::vector<std::int16_t> silentLinesOf(DeviceKind kind)
{
    return kind == DeviceKind::UsbModem ? std::vector<std::int16_t>{comEvCTS} : std::vector<std::int16_t>{};
}

}  // namespace

LinuxSerialLineService::LinuxSerialLineService(QString root, std::unique_ptr<LineControl> lines)
    : root_(std::move(root)), lines_(std::move(lines)),
      relay_([this](std::int16_t code, const EdgeTime& at) { raiseEdge(code, at); }, [this] { portLost(); },
             [this](std::chrono::steady_clock::time_point upTo) {
                 if (OnEdgesIn)
                     OnEdgesIn(upTo);
             })
{
    stopSignal();
    // Bytes on the receive line are of no use here; dropping them keeps a
    // talkative source from filling memory.
    QObject::connect(&port_, &QSerialPort::readyRead, &port_, [this] { port_.readAll(); });
    // Qt reports a vanished device from inside its own notifier: handled
    // queued, after Qt has left it.
    QObject::connect(&port_, &QSerialPort::errorOccurred, &port_, [this](QSerialPort::SerialPortError error) {
        if (error == QSerialPort::ResourceError && port_.isOpen())
            relay_.postLost(generation_);
    });
    // A hung-up descriptor reads end of file, which Qt does not report.
    hangUpCheck_.setInterval(kHangUpCheckMs);
    QObject::connect(&hangUpCheck_, &QTimer::timeout, &hangUpCheck_, [this] { checkHangUp(); });
}

LinuxSerialLineService::~LinuxSerialLineService()
{
    close();
}

Write LinuxSerialLineService::setCommPort(std::int16_t port)
{
    if (port < 1 || port > 16 || port_.isOpen())
        return Write::Rejected;
    commPort_ = port;
    return Write::Accepted;
}

Write LinuxSerialLineService::setSettings(const QString& text)
{
    const auto settings = parseSettings(text);
    if (!settings)
        return Write::Rejected;
    if (port_.isOpen()) {
        const LineSettings previous = settings_;
        if (!applySettings(*settings)) {
            applySettings(previous);
            watcher_->rearm();
            return Write::Rejected;
        }
        watcher_->rearm();
    }
    settings_ = *settings;
    return Write::Accepted;
}

Write LinuxSerialLineService::setDTREnable(bool enable)
{
    dtr_ = enable;
    setControlLine(TIOCM_DTR, enable);
    return Write::Accepted;
}

Write LinuxSerialLineService::setRTSEnable(bool enable)
{
    rts_ = enable;
    setControlLine(TIOCM_RTS, enable);
    return Write::Accepted;
}

Write LinuxSerialLineService::setPortOpen(bool open)
{
    if (!open) {
        close();
        return Write::Accepted;
    }
    return port_.isOpen() ? Write::Accepted : this->open();
}

PortInfo LinuxSerialLineService::portInfo(std::int16_t port) const
{
    PortInfo info;
    const auto entries = readDeviceMap(root_);
    if (port >= 1 && static_cast<std::size_t>(port) <= entries.size()) {
        const DeviceEntry& entry = entries[static_cast<std::size_t>(port - 1)];
        info.device = entry.device;
        info.stableName = entry.stableName;
        info.silentLines = silentLinesOf(entry.kind);
    }
    const auto failure = lastFailure_.find(port);
    if (failure != lastFailure_.end())
        info.lastFailure = failure->second;
    return info;
}

LineCapability LinuxSerialLineService::lineCapability() const
{
    return watcher_ ? watcher_->capability() : LineCapability::None;
}

bool LinuxSerialLineService::handOverEdges(std::chrono::steady_clock::time_point upTo) const
{
    if (!watcher_ || watcher_->capability() == LineCapability::None)
        return false;
    watcher_->handOverUpTo(upTo);
    return true;
}

Write LinuxSerialLineService::setDebounceTime(std::chrono::milliseconds time)
{
    if (time.count() < 0 || time.count() > 1000)
        return Write::Rejected;
    debounce_ = time;
    if (watcher_)
        watcher_->setDebounce(time);
    return Write::Accepted;
}

// The map is read afresh, so an adapter plugged in since the last open is found.
Write LinuxSerialLineService::open()
{
    const auto entries = readDeviceMap(root_);
    if (static_cast<std::size_t>(commPort_) > entries.size())
        return failOpen(PortFailure::NoSuchDevice);
    const DeviceEntry& entry = entries[static_cast<std::size_t>(commPort_ - 1)];

    port_.setPortName(entry.openPath);
    applySettings(settings_);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!port_.open(QIODevice::ReadWrite))
        return failOpen(failureOf(port_.error(), entry.openPath));

    setControlLine(TIOCM_DTR, dtr_);
    setControlLine(TIOCM_RTS, rts_);
    ++generation_;
    relay_.setOpenGeneration(generation_);
    const std::uint64_t generation = generation_;
    watcher_ = std::make_shared<LineWatcher>(
        static_cast<int>(port_.handle()), lines_, countsRingPulses(entry.kind),
        [this, generation](const std::vector<LineEdges>& edges, std::optional<std::chrono::steady_clock::time_point> in) {
            relay_.postEdges(generation, edges, in);
        },
        [this, generation] { relay_.postLost(generation); });
    watcher_->setDebounce(debounce_);
    watcher_->start();
    // A watcher's requests fail once the port hangs up, which tells the loss;
    // without one the descriptor is looked at, a few wake-ups a second.
    if (watcher_->capability() == LineCapability::None)
        hangUpCheck_.start();
    lastFailure_[commPort_] = PortFailure::None;
    return Write::Accepted;
}

Write LinuxSerialLineService::failOpen(PortFailure failure)
{
    lastFailure_[commPort_] = failure;
    return Write::Rejected;
}

// The watcher is stopped before the descriptor it watches is closed. One it
// had to give up keeps a duplicate, and with it the device open, until the
// lines next change: DTR and RTS are dropped here, as the device's last close
// would. Every edge that came before the close is raised first: the watcher
// hands over what it holds as it stops, and what it posted is delivered now.
void LinuxSerialLineService::close()
{
    if (!port_.isOpen())
        return;
    hangUpCheck_.stop();
    if (watcher_)
        watcher_->stop();
    lines_->lowerLines(static_cast<int>(port_.handle()), TIOCM_DTR | TIOCM_RTS);
    relay_.deliverAll();
    if (!port_.isOpen())
        return;  // a loss delivered with them closed it already
    relay_.setOpenGeneration(0);
    watcher_.reset();
    port_.close();
}

bool LinuxSerialLineService::applySettings(const LineSettings& settings)
{
    return port_.setBaudRate(settings.baud) && port_.setParity(parityOf(settings.parity)) &&
           port_.setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits)) &&
           port_.setStopBits(settings.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
}

// A device without control lines (a pseudo-terminal) refuses these; it is used all the same.
void LinuxSerialLineService::setControlLine(int bit, bool raised)
{
    if (!port_.isOpen())
        return;
    const int fd = static_cast<int>(port_.handle());
    raised ? lines_->raiseLines(fd, bit) : lines_->lowerLines(fd, bit);
}

void LinuxSerialLineService::raiseEdge(std::int16_t code, const EdgeTime& at)
{
    event_ = code;
    eventTime_ = at;
    if (OnComm)
        OnComm();
    event_ = 0;
}

void LinuxSerialLineService::portLost()
{
    close();
    if (OnPortLost)
        OnPortLost();
}

void LinuxSerialLineService::checkHangUp()
{
    pollfd hangUp{static_cast<int>(port_.handle()), 0, 0};
    if (::poll(&hangUp, 1, 0) == 1 && (hangUp.revents & (POLLHUP | POLLERR | POLLNVAL)))
        portLost();
}

}  // namespace serial
