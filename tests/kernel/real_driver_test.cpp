// The Linux serial line service and the real window against the kernel's own
// drivers, inside the guest that run_guest.sh boots: ttyS1 on the 8250 driver,
// ttyUSB0 on ftdi_sio. The host's line driver moves their modem lines and
// answers over the guest's virtio port "ctl".
#include "haupt.h"
#include "line_control.h"
#include "linux_serial_line_service.h"
#include "port_texts.h"

#include <QtTest>
#include <QtWidgets>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

using namespace std::chrono_literals;

namespace {

struct Port {
    const char* driver;
    int com;
    int terminal;  // the host's: 0 the UART, 1 the USB adapter
    const char* device;
    int spacingMs;  // between edges, well above QEMU's sampling of the lines
    // The pulse length's slack: twice the sampling grain (10 ms on the UART)
    // and the watcher's wake-up under emulation on a loaded machine, short of
    // one edge interval, which a length from a single interval would miss by.
    int lengthSlackMs;
};
const Port kUart{"8250", 1, 0, "/dev/ttyS1", 50, 40};
const Port kUsb{"ftdi_sio", 2, 1, "/dev/ttyUSB0", 40, 30};
const Port kPorts[] = {kUart, kUsb};

struct Line {
    const char* name;
    int option;  // optSignal_n
    int bit;
    std::int16_t code;
};
const Line kLines[] = {{"DCD", 0, TIOCM_CD, serial::comEvCD},
                       {"DSR", 1, TIOCM_DSR, serial::comEvDSR},
                       {"CTS", 2, TIOCM_CTS, serial::comEvCTS},
                       {"RI", 3, TIOCM_RNG, serial::comEvRing}};

struct Scripted : MessageBox, measurement::Beeper {
    void MsgBox(const QString& text) override { shown << text; }
    void Beep() override {}
    QStringList shown;
};

// Runs the event loop until `done` or the time is up; true when done.
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s)
{
    const QDeadlineTimer deadline(limit);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

void settle(std::chrono::milliseconds time)
{
    waitFor([] { return false; }, time);
}

int threads()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// Whether a descriptor of this process still names the device; one whose
// node went with an unplugged adapter reads "<device> (deleted)".
bool holds(const char* device)
{
    for (const QFileInfo& fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::NoDotAndDotDot))
        if (fd.symLinkTarget().startsWith(QLatin1String(device)))
            return true;
    return false;
}

// The host's line driver; answers are read with the event loop running, so the
// port keeps draining and events keep coming meanwhile.
class Host {
public:
    Host()
    {
        for (const QFileInfo& port : QDir(QStringLiteral("/sys/class/virtio-ports")).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile name(port.filePath() + QStringLiteral("/name"));
            if (name.open(QIODevice::ReadOnly) && name.readAll().trimmed() == "ctl")
                fd_ = ::open(QFile::encodeName(QStringLiteral("/dev/") + port.fileName()).constData(), O_RDWR | O_CLOEXEC);
        }
    }
    ~Host() { ::close(fd_); }
    bool ready() const { return fd_ >= 0; }
    void send(const std::string& command) { (void)!::write(fd_, (command + '\n').data(), command.size() + 1); }
    std::string reply()
    {
        std::string line;
        waitFor([&] {
            pollfd in{fd_, POLLIN, 0};
            char c = 0;
            while (::poll(&in, 1, 0) == 1 && ::read(fd_, &c, 1) == 1 && c != '\n')
                line += c;
            return c == '\n';
        }, 60s);
        return line;
    }
    std::string ask(const std::string& command)
    {
        send(command);
        return reply();
    }
    // `edges` changes of `bit`, at least `spacingMs` after the last change on
    // the port, each level held until QEMU has read it; with `untilClosed`
    // they stop when the guest closes the port. Answered with the gap before
    // the last edge in us.
    static std::string waveCommand(const Port& port, int bit, int edges, bool untilClosed)
    {
        return "wave " + std::to_string(port.terminal) + ' ' + std::to_string(bit) + ' ' + std::to_string(edges) +
               ' ' + std::to_string(port.spacingMs) + (untilClosed ? " 1" : " 0");
    }

private:
    int fd_ = -1;
};

// The real window over the real service; every event on its way in is counted.
class RealDrivers : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.ready()) << "no control channel to the host";
        auto owned = std::make_unique<serial::LinuxSerialLineService>(QStringLiteral("/"), serial::makeSystemLineControl());
        service = owned.get();
        window = std::make_unique<HAUPT>(std::move(owned), &scripted, &scripted);
        service->OnComm = [this, inner = service->OnComm] { ++events[service->CommEvent()]; inner(); };
        service->OnPortLost = [this, inner = service->OnPortLost] { ++lost; inner(); };
    }

    template <typename T = QWidget>
    T* control(const QString& name) const { return window->findChild<T*>(name); }
    void click(const QString& name) const { QTest::mouseClick(control(name), Qt::LeftButton, {}, QPoint(4, 6)); }
    QString text(const QString& name) const { return control<QLineEdit>(name)->text(); }
    QRadioButton* comOption(int com) const { return control<QRadioButton>(QStringLiteral("Option_COMPORT_%1").arg(com - 1)); }
    QColor frameColour() const { return control(QStringLiteral("Frame_OPEN"))->palette().color(control(QStringLiteral("Frame_OPEN"))->backgroundRole()); }
    bool isOpen() const { return window->windowTitle().startsWith(QStringLiteral("COM")); }

    bool open(const Port& port, bool dtr = true, bool rts = true)
    {
        comOption(port.com)->setChecked(true);
        control<QCheckBox>(QStringLiteral("Check_DTR"))->setChecked(dtr);
        control<QCheckBox>(QStringLiteral("Check_RTS"))->setChecked(rts);
        click(QStringLiteral("Command_OPEN"));
        return isOpen();
    }
    void choose(const Line& line) { control<QRadioButton>(QStringLiteral("optSignal_%1").arg(line.option))->setChecked(true); }
    int shownPulses() const { return text(QStringLiteral("Text_ANZAHL_IMPULSE")).toInt(); }
    int shownLength() const { return text(QStringLiteral("Text_IMPULSLÄNGE")).remove(QRegularExpression(QStringLiteral("\\D"))).toInt(); }
    int allEvents() const
    {
        int sum = 0;
        for (const auto& [code, count] : events)
            sum += count;
        return sum;
    }

    // A square wave of `edges` changes, one at a time: the next goes once the
    // last arrived, so a stall of the loaded machine (QEMU's USB adapter sends
    // the lines only with data) delays edges instead of merging them. Where the
    // 8250 counts RI on its trailing edge only, a rising edge brings nothing.
    // Answers the gap before the last edge in ms.
    double squareWave(const Port& port, const Line& line, int edges)
    {
        const bool pulsesOnly = port.terminal == kUart.terminal && line.bit == TIOCM_RNG;
        double gap = 0;
        for (int edge = 1, expected = events[line.code]; edge <= edges; ++edge) {
            gap = std::atof(host.ask(Host::waveCommand(port, line.bit, 1, false)).c_str()) / 1000.0;
            expected += pulsesOnly ? (edge % 2 == 0 ? 2 : 0) : 1;
            if (!waitFor([&] { return events[line.code] >= expected; }))
                break;
        }
        return gap;
    }

    // Sends `pulses` square-wave pulses on the line and checks that the window
    // counts them exactly, with the pulse length within the grain, and that the
    // port stays open.
    void countPulses(const Port& port, const Line& line, int pulses)
    {
        click(QStringLiteral("Command_CLEAR"));
        events.clear();
        double gap = squareWave(port, line, 2 * pulses);
        settle(300ms);  // room for edges too many
        const int counted = events[line.code];
        const int shown = shownPulses();
        EXPECT_EQ(allEvents(), 2 * pulses) << port.driver << ' ' << line.name;
        EXPECT_EQ(shown, pulses) << port.driver << ' ' << line.name;
        // The length is a timing: a stall of the loaded machine between the
        // last two edges shows in it, so it gets two more square waves.
        for (int again = 0; again < 2 && std::abs(shownLength() - 2 * gap) > port.lengthSlackMs; ++again)
            gap = squareWave(port, line, 4);
        std::printf("[ kernel ] %-8s %-3s sent %d edges, counted %d, shows %d pulses and %d ms (host gap %.1f ms)\n",
                    port.driver, line.name, 2 * pulses, counted, shown, shownLength(), gap);
        EXPECT_NEAR(shownLength(), 2 * gap, port.lengthSlackMs) << port.driver << ' ' << line.name;
        EXPECT_TRUE(isOpen()) << port.driver << ' ' << line.name << ": the port was hung up";
    }

    Host host;
    Scripted scripted;
    serial::LinuxSerialLineService* service = nullptr;
    std::unique_ptr<HAUPT> window;
    std::map<std::int16_t, int> events;
    int lost = 0;
};

// Per port: its tooltip names its device and, while open, what its driver
// reports (the console ttyS0 and the ttyS lines without a UART are left out,
// so COM 4 has nothing behind it); DTR and RTS arrive as chosen; every line
// counts exactly, RI included: the 8250 counts only its trailing edges,
// ftdi_sio both, and the window shows the same on both.
TEST_F(RealDrivers, DeviceMapControlLinesAndEveryLineCountExactly)
{
    EXPECT_EQ(comOption(3)->toolTip(), serial::portToolTip({}, std::nullopt));
    for (const Port& port : kPorts) {
        EXPECT_EQ(comOption(port.com)->toolTip(), serial::portToolTip({port.device, {}, {}}, std::nullopt));
        for (const auto& [dtr, rts] : {std::pair{true, false}, std::pair{false, true}}) {
            ASSERT_TRUE(open(port, dtr, rts)) << port.device;
            const int expected = (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
            EXPECT_EQ(host.ask("out " + std::to_string(port.terminal)), std::to_string(expected)) << port.device;
        }
        ASSERT_TRUE(open(port)) << port.device;
        EXPECT_EQ(comOption(port.com)->toolTip(),
                  serial::portToolTip({port.device, {}, {}}, serial::LineCapability::Counters));
        for (const Line& line : kLines) {
            choose(line);
            countPulses(port, line, 8);
        }
        click(QStringLiteral("Command_CLOSE"));
    }
}

TEST_F(RealDrivers, UnplugWhileOpenClosesThePortOnceAndReplugCounts)
{
    choose(kLines[0]);
    const int before = threads();
    ASSERT_TRUE(open(kUsb));
    EXPECT_EQ(host.ask("monitor device_del u1"), "ok");
    EXPECT_TRUE(waitFor([&] { return lost == 1; }));
    settle(300ms);
    EXPECT_EQ(lost, 1);
    EXPECT_FALSE(service->PortOpen());
    EXPECT_EQ(frameColour(), window->palette().color(QPalette::Button));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("close"));
    EXPECT_TRUE(scripted.shown.isEmpty()) << scripted.shown.join('|').toStdString();
    EXPECT_EQ(threads(), before);
    EXPECT_FALSE(holds(kUsb.device));

    EXPECT_EQ(host.ask("monitor device_add usb-serial,id=u1,chardev=c2"), "ok");
    // The adapter takes a moment to enumerate again.
    EXPECT_TRUE(waitFor([&] { return open(kUsb); }, 20s));
    countPulses(kUsb, kLines[0], 4);
}

// The close never hangs and nothing arrives after it, while the host keeps
// sending; the port opened again counts only what comes after.
TEST_F(RealDrivers, ClosingWhileEdgesFlow)
{
    choose(kLines[0]);
    for (const Port& port : kPorts) {
        ASSERT_TRUE(open(port)) << port.device;
        events.clear();
        host.send(Host::waveCommand(port, TIOCM_CD, 200, true));
        EXPECT_TRUE(waitFor([&] { return allEvents() >= 6; }, 15s));
        QElapsedTimer closing;
        closing.start();
        click(QStringLiteral("Command_CLOSE"));
        EXPECT_LT(closing.elapsed(), 3000) << port.device;
        const int atClose = allEvents();
        EXPECT_EQ(host.reply(), "-1") << port.device << ": the flow did not see the close";
        EXPECT_EQ(allEvents(), atClose) << port.device;

        ASSERT_TRUE(open(port)) << port.device;
        settle(500ms);
        EXPECT_EQ(allEvents(), atClose) << port.device;
        countPulses(port, kLines[0], 4);
        click(QStringLiteral("Command_CLOSE"));
    }
}

}  // namespace
