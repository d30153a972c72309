// The Linux serial line service and the real window against the kernel's own
// drivers, inside the guest that run_guest.sh boots: ttyS1 on the 8250 driver
// and ttyUSB0 on ftdi_sio, whose modem lines the host's line driver moves and
// answers for over the guest's virtio port, and four USB serial chips that
// usb_chip emulates in the guest, each on its own dummy UDC and driver.
#include "haupt.h"
#include "line_control.h"
#include "linux_serial_line_service.h"
#include "port_texts.h"

#include <QtTest>
#include <QtWidgets>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using serial::LineCapability;

// How a driver reports RI: each edge, or one count per pulse, on its trailing
// edge (8250) or with its leading one (cdc-acm: a count per report with RI set).
enum class Ring { Edges, OnFall, OnRise };

// A port: its driver, COM number and device, the lines it reports, how it
// reports their changes and RI, and what moves its lines: the host's terminal
// (0 the UART, 1 QEMU's adapter) or the chip emulated for it. Edges go at
// least the spacing apart, well above QEMU's sampling of the lines. The pulse
// length's slack: twice the sampling grain (10 ms on the UART) and the
// watcher's wake-up under emulation on a loaded machine, short of one edge
// interval, which a length from a single interval would miss by.
struct Port {
    const char* driver; int com; const char* device; int lines; LineCapability way; Ring ring;
    int terminal; const char* chip; int spacingMs, lengthSlackMs;
};
constexpr int kAll = TIOCM_CD | TIOCM_DSR | TIOCM_CTS | TIOCM_RNG;
const Port kPorts[] = {
    {"8250", 1, "/dev/ttyS1", kAll, LineCapability::Counters, Ring::OnFall, 0, nullptr, 50, 40},
    {"ftdi_sio", 2, "/dev/ttyUSB0", kAll, LineCapability::Counters, Ring::Edges, 1, nullptr, 40, 30},
    {"ch341", 3, "/dev/ttyUSB1", kAll, LineCapability::WakeUpsOnly, Ring::Edges, -1, "ch341", 40, 30},
    {"pl2303", 4, "/dev/ttyUSB2", kAll, LineCapability::WakeUpsOnly, Ring::Edges, -1, "pl2303", 40, 30},
    {"cp210x", 5, "/dev/ttyUSB3", kAll, LineCapability::PollingOnly, Ring::Edges, -1, "cp210x", 40, 30},
    {"cdc_acm", 6, "/dev/ttyACM0", kAll & ~TIOCM_CTS, LineCapability::Counters, Ring::OnRise, -1, "cdc_acm", 40, 30},
};
struct Line { const char* name; int bit; };
const Line kLines[] = {{"DCD", TIOCM_CD}, {"DSR", TIOCM_DSR}, {"CTS", TIOCM_CTS}, {"RI", TIOCM_RNG}};  // as optSignal_n

// The real window over the real service; every event on its way in is
// counted, every message box answered at once and kept.
class RealDrivers : public ::testing::Test, public MessageBox {
protected:
    void MsgBox(const QString& text) override { messages << text; }
    void SetUp() override
    {
        // The chips first, so the window finds their ports, started one at a
        // time so each gets its device number in their order.
        for (int i = 0, udc = 0; i < int(std::size(kPorts)); ++i)
            if (const Port& port = kPorts[i]; port.chip) {
                chips[i].setProcessChannelMode(QProcess::ForwardedErrorChannel);
                const QString udcName = QString("dummy_udc.%1").arg(udc++);
                chips[i].start(QCoreApplication::applicationDirPath() + "/usb_chip", {port.chip, udcName});
                (void)QTest::qWaitFor([&] { return QFile::exists(port.device); }, 20000);
            }
        // The guest's one virtio port is the host's control channel.
        const QFileInfoList ports = QDir(QStringLiteral("/dev")).entryInfoList({QStringLiteral("vport*")}, QDir::System);
        ASSERT_EQ(ports.size(), 1) << "no control channel to the host";
        host.setFileName(ports[0].filePath());
        ASSERT_TRUE(host.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        ::fcntl(host.handle(), F_SETFL, O_NONBLOCK);  // a read takes what has come
        auto owned = std::make_unique<serial::LinuxSerialLineService>(QStringLiteral("/"), serial::makeSystemLineControl());
        service = owned.get();
        window = std::make_unique<HAUPT>(std::move(owned), this);
        service->OnComm = [this, inner = service->OnComm] { ++events; inner(); };
        service->OnPortLost = [this, inner = service->OnPortLost] { ++lost; inner(); };
    }
    void TearDown() override
    {
        for (QProcess& chip : chips)
            chip.kill(), chip.waitForFinished();
    }

    // A command to what moves the port's lines, the host's line driver or the
    // port's chip, both spoken to alike; with no command, the answer to the
    // last. The answer is awaited with the event loop running, so the port
    // keeps draining and events keep coming meanwhile.
    QIODevice& channel(const Port& port) { return port.chip ? chips[&port - kPorts] : static_cast<QIODevice&>(host); }
    std::string ask(const Port& port, const QString& command = {})
    {
        if (!command.isEmpty())
            channel(port).write((command + '\n').toLatin1());
        QByteArray line;
        (void)QTest::qWaitFor([&] { return (line += channel(port).readLine()).endsWith('\n'); }, 60000);
        return line.trimmed().toStdString();
    }
    // One edge of `bit` at least the spacing after the last on the port, or
    // with `count` 0 edges until the guest closes the port (the host's only).
    static QString edge(const Port& port, int bit, int count = 1)
    {
        return QStringLiteral("edge %1 %2 %3 %4").arg(port.terminal).arg(bit).arg(port.spacingMs * 1000).arg(count);
    }

    template <typename T = QWidget>
    T* control(const QString& name) const { return window->findChild<T*>(name); }
    void click(const QString& name) const { QTest::mouseClick(control(name), Qt::LeftButton, {}, QPoint(4, 6)); }
    QRadioButton* comOption(int com) const { return control<QRadioButton>(QString("Option_COMPORT_%1").arg(com - 1)); }
    // The digits of a readout as a number: "0.102ms" is 102.
    int shown(const QString& box) const { return control<QLineEdit>(box)->text().remove(QRegularExpression("\\D")).toInt(); }
    bool isOpen() const { return window->windowTitle().startsWith(QStringLiteral("COM")); }
    bool open(const Port& port, bool dtr, bool rts)
    {
        comOption(port.com)->setChecked(true);
        control<QCheckBox>(QStringLiteral("Check_DTR"))->setChecked(dtr);
        control<QCheckBox>(QStringLiteral("Check_RTS"))->setChecked(rts);
        click(QStringLiteral("Command_OPEN"));
        return isOpen();
    }

    // Square-wave pulses, one edge at a time: the next goes once the last
    // arrived, so a stall of the loaded machine (QEMU's USB adapter sends the
    // lines only with data) delays edges instead of merging them. Where a
    // driver counts RI once per pulse, the other edge brings nothing. Answers
    // the gap before the last edge in ms.
    double squareWave(const Port& port, const Line& line, int pulses)
    {
        const Ring ring = line.bit == TIOCM_RNG ? port.ring : Ring::Edges;
        double gap = 0;
        for (int n = 1, expected = events; n <= 2 * pulses; ++n) {
            gap = std::atof(ask(port, edge(port, line.bit)).c_str()) / 1000.0;
            expected += ring == Ring::Edges ? 1 : ring == (n % 2 == 0 ? Ring::OnFall : Ring::OnRise) ? 2 : 0;
            if (!QTest::qWaitFor([&] { return events >= expected; }))
                break;
        }
        return gap;
    }

    // The window counts the pulses on the chosen line exactly, with nothing on
    // the others, shows their length within the slack, and the port stays open.
    void countPulses(const Port& port, const Line& line, int pulses)
    {
        const QString length = QStringLiteral("Text_IMPULSLÄNGE");
        control<QRadioButton>(QStringLiteral("optSignal_%1").arg(&line - kLines))->setChecked(true);
        click(QStringLiteral("Command_CLEAR"));
        events = 0;
        double gap = squareWave(port, line, pulses);
        QTest::qWait(300);  // room for edges too many
        const int counted = events, pulsesShown = shown(QStringLiteral("Text_ANZAHL_IMPULSE"));
        EXPECT_EQ(counted, 2 * pulses) << port.driver << ' ' << line.name;
        EXPECT_EQ(pulsesShown, pulses) << port.driver << ' ' << line.name;
        // The length is a timing: a stall of the loaded machine between the
        // last two edges shows in it, so it gets two more tries.
        for (int again = 0; again < 2 && std::abs(shown(length) - 2 * gap) > port.lengthSlackMs; ++again)
            gap = squareWave(port, line, 2);
        std::printf("[ kernel ] %-8s %-3s sent %d edges, counted %d, shows %d pulses and %d ms (host gap %.1f ms)\n",
                    port.driver, line.name, 2 * pulses, counted, pulsesShown, shown(length), gap);
        EXPECT_NEAR(shown(length), 2 * gap, port.lengthSlackMs) << port.driver << ' ' << line.name;
        EXPECT_TRUE(isOpen()) << port.driver << ' ' << line.name << ": the port was hung up";
    }

    QFile host;
    QProcess chips[std::size(kPorts)];
    QStringList messages;
    serial::LinuxSerialLineService* service = nullptr;
    std::unique_ptr<HAUPT> window;
    int events = 0, lost = 0;
};

// Per port: its tooltip names its device and the lines its driver never
// reports, and while open how it reports the others (the console ttyS0 and
// the ttyS lines without a UART are left out, so COM 7 has nothing behind
// it); DTR and RTS arrive as chosen; a close while the host keeps sending
// never hangs, nothing arrives after it, and the port opened again counts
// every line it reports exactly, RI as its driver reports it. Each USB port
// unplugged while open (QEMU's adapter taken away, a chip's UDC unbound) is
// lost once, the window shows it closed without a message, its watcher and
// descriptor gone; plugged again, it opens and counts.
TEST_F(RealDrivers, EachDriverMapsSwitchesClosesCountsAndSurvivesAnUnplug)
{
    const uint threads = QDir(QStringLiteral("/proc/self/task")).count();
    const auto frame = [this] { return control(QStringLiteral("Frame_OPEN"))->palette().color(QPalette::Window); };
    EXPECT_EQ(comOption(7)->toolTip(), serial::portToolTip({}, std::nullopt));
    for (const Port& port : kPorts) {
        serial::PortInfo info{port.device, {}, {}, {}};
        if (!(port.lines & TIOCM_CTS))
            info.silentLines = {serial::comEvCTS};
        EXPECT_EQ(comOption(port.com)->toolTip(), serial::portToolTip(info, std::nullopt));
        EXPECT_EQ(comOption(port.com)->toolTip().contains(QLatin1String("CTS")), !(port.lines & TIOCM_CTS)) << port.driver;
        ASSERT_TRUE(open(port, true, false)) << port.device;
        EXPECT_EQ(ask(port, QStringLiteral("out %1").arg(port.terminal)), std::to_string(TIOCM_DTR)) << port.device;
        EXPECT_EQ(comOption(port.com)->toolTip(), serial::portToolTip(info, port.way)) << port.device;

        // The host keeps its lines moving through the close; a chip's stand still.
        if (!port.chip) {
            channel(port).write((edge(port, TIOCM_CD, 0) + '\n').toLatin1());
            EXPECT_TRUE(QTest::qWaitFor([&, from = events] { return events >= from + 6; }, 15000)) << port.device;
        }
        const QDeadlineTimer closing = QDeadlineTimer::current();
        click(QStringLiteral("Command_CLOSE"));
        EXPECT_LT(QDeadlineTimer::current() - closing, 3000) << port.device;
        const int atClose = events;
        if (!port.chip) {
            EXPECT_EQ(ask(port), "-1") << port.device << ": the flow did not see the close";
            EXPECT_EQ(events, atClose) << port.device << ": edges after the close";
        }
        ASSERT_TRUE(open(port, false, true)) << port.device;
        EXPECT_EQ(ask(port, QStringLiteral("out %1").arg(port.terminal)), std::to_string(TIOCM_RTS)) << port.device;
        // ftdi_sio reports a change it missed at the close, the flow's last,
        // with its first status after the open: that one edge at most.
        QTest::qWait(500);
        EXPECT_LE(events - atClose, port.terminal == 1 ? 1 : 0) << port.device << ": edges from before the open";

        for (const Line& line : kLines)
            if (port.lines & line.bit)
                countPulses(port, line, 8);
        if (port.terminal == 0) {
            click(QStringLiteral("Command_CLOSE"));
            continue;
        }

        const QColor green = frame();
        EXPECT_EQ(ask(port, port.chip ? "unplug" : "device_del u1"), "ok");
        // Each USB port lost once: the first is the second port, so a port's
        // index is the count of losses so far, and a loss too many shows at the end.
        EXPECT_TRUE(QTest::qWaitFor([&] { return lost == &port - kPorts; })) << port.device;
        EXPECT_FALSE(service->PortOpen()) << port.device;
        EXPECT_EQ(window->windowTitle(), QStringLiteral("close")) << port.device << ": the loss reached the window";
        EXPECT_TRUE(QTest::qWaitFor([&] { return frame() != green; }, 1000)) << port.device << ": the frame shows it open";
        EXPECT_EQ(QDir(QStringLiteral("/proc/self/task")).count(), threads) << port.device;
        // A descriptor left on the device would read "/dev/ttyUSB0 (deleted)".
        for (const QFileInfo& fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System))
            EXPECT_FALSE(fd.symLinkTarget().startsWith(QLatin1String(port.device))) << fd.symLinkTarget().toStdString();

        EXPECT_EQ(ask(port, port.chip ? "plug" : "device_add usb-serial,id=u1,chardev=c2"), "ok");
        // The adapter takes a moment to enumerate again; meanwhile its COM
        // number is the next device's, gaps closed up.
        EXPECT_TRUE(QTest::qWaitFor([&] { return QFile::exists(port.device) && open(port, true, true); }, 20000))
            << port.device;
        countPulses(port, kLines[0], 4);
        click(QStringLiteral("Command_CLOSE"));
    }
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
    EXPECT_EQ(lost, int(std::size(kPorts)) - 1);
}

}  // namespace
