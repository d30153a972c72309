// The Linux serial line service and the real window against the kernel's own
// drivers, inside the guest that run_guest.sh boots: ttyS1 on the 8250 driver,
// ttyUSB0 on ftdi_sio. The host's line driver moves their modem lines and
// answers over the guest's virtio port.
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

// The host's terminal behind a port: 0 the UART, 1 the USB adapter. Edges go
// at least the spacing apart, well above QEMU's sampling of the lines. The
// pulse length's slack: twice the sampling grain (10 ms on the UART) and the
// watcher's wake-up under emulation on a loaded machine, short of one edge
// interval, which a length from a single interval would miss by.
struct Port { const char* driver; int com, terminal; const char* device; int spacingMs, lengthSlackMs; };
const Port kPorts[] = {{"8250", 1, 0, "/dev/ttyS1", 50, 40}, {"ftdi_sio", 2, 1, "/dev/ttyUSB0", 40, 30}};
struct Line { const char* name; int bit; };
const Line kLines[] = {{"DCD", TIOCM_CD}, {"DSR", TIOCM_DSR}, {"CTS", TIOCM_CTS}, {"RI", TIOCM_RNG}};  // as optSignal_n

// The real window over the real service; every event on its way in is
// counted, every message box answered at once and kept.
class RealDrivers : public ::testing::Test, public MessageBox {
protected:
    void MsgBox(const QString& text) override { messages << text; }
    void SetUp() override
    {
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

    // The host's answer is awaited with the event loop running, so the port
    // keeps draining and events keep coming meanwhile.
    void send(const QString& command) { host.write((command + '\n').toLatin1()); }
    std::string reply()
    {
        QByteArray line;
        (void)QTest::qWaitFor([&] { return (line += host.readLine()).endsWith('\n'); }, 60000);
        return line.trimmed().toStdString();
    }
    std::string ask(const QString& command)
    {
        send(command);
        return reply();
    }
    // "edge": one edge of `bit` at least the spacing after the last on the
    // port, or with `flow` edges until the guest closes the port; "out": its
    // DTR and RTS.
    static QString command(const char* name, const Port& port, int bit = 0, int flow = 0)
    {
        return QStringLiteral("%1 %2 %3 %4 %5").arg(name).arg(port.terminal).arg(bit).arg(port.spacingMs).arg(flow);
    }

    template <typename T = QWidget>
    T* control(const QString& name) const { return window->findChild<T*>(name); }
    void click(const QString& name) const { QTest::mouseClick(control(name), Qt::LeftButton, {}, QPoint(4, 6)); }
    QRadioButton* comOption(int com) const
    {
        return control<QRadioButton>(QStringLiteral("Option_COMPORT_%1").arg(com - 1));
    }
    // The digits of a readout as a number: "0.102ms" is 102.
    int shown(const QString& box) const
    {
        return control<QLineEdit>(box)->text().remove(QRegularExpression(QStringLiteral("\\D"))).toInt();
    }
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
    // lines only with data) delays edges instead of merging them. Where the
    // 8250 counts RI on its trailing edge only, a rising edge brings nothing.
    // Answers the gap before the last edge in ms.
    double squareWave(const Port& port, const Line& line, int pulses)
    {
        const bool trailingOnly = port.terminal == 0 && line.bit == TIOCM_RNG;
        double gap = 0;
        for (int edge = 1, expected = events; edge <= 2 * pulses; ++edge) {
            gap = std::atof(ask(command("edge", port, line.bit)).c_str()) / 1000.0;
            expected += trailingOnly ? (edge % 2 == 0 ? 2 : 0) : 1;
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
    QStringList messages;
    serial::LinuxSerialLineService* service = nullptr;
    std::unique_ptr<HAUPT> window;
    int events = 0, lost = 0;
};

// Per port: its tooltip names its device and, while open, what its driver
// reports (the console ttyS0 and the ttyS lines without a UART are left out,
// so COM 4 has nothing behind it); DTR and RTS arrive as chosen; a
// close while the host keeps sending never hangs, nothing arrives after it,
// and the port opened again counts every line exactly, RI included.
TEST_F(RealDrivers, EachDriverMapsSwitchesClosesAndCounts)
{
    EXPECT_EQ(comOption(4)->toolTip(), serial::portToolTip({}, std::nullopt));
    for (const Port& port : kPorts) {
        EXPECT_EQ(comOption(port.com)->toolTip(), serial::portToolTip({port.device, {}, {}}, std::nullopt));
        ASSERT_TRUE(open(port, true, false)) << port.device;
        EXPECT_EQ(ask(command("out", port)), std::to_string(TIOCM_DTR)) << port.device;
        EXPECT_EQ(comOption(port.com)->toolTip(),
                  serial::portToolTip({port.device, {}, {}}, serial::LineCapability::Counters));

        events = 0;
        send(command("edge", port, TIOCM_CD, 1));
        EXPECT_TRUE(QTest::qWaitFor([&] { return events >= 6; }, 15000)) << port.device;
        const QDeadlineTimer closing = QDeadlineTimer::current();
        click(QStringLiteral("Command_CLOSE"));
        EXPECT_LT(QDeadlineTimer::current() - closing, 3000) << port.device;
        const int atClose = events;
        EXPECT_EQ(reply(), "-1") << port.device << ": the flow did not see the close";
        EXPECT_EQ(events, atClose) << port.device << ": edges after the close";
        ASSERT_TRUE(open(port, false, true)) << port.device;
        EXPECT_EQ(ask(command("out", port)), std::to_string(TIOCM_RTS)) << port.device;
        // ftdi_sio reports a change it missed at the close, the flow's last,
        // with its first status after the open: that one edge at most.
        QTest::qWait(500);
        EXPECT_LE(events - atClose, port.terminal == 1 ? 1 : 0) << port.device << ": edges from before the open";

        for (const Line& line : kLines)
            countPulses(port, line, 8);
        click(QStringLiteral("Command_CLOSE"));
    }
}

// Unplugged while open: the port is lost once, the window told, closed
// without a message, its watcher and descriptor gone (how the window shows a
// lost port is the port handlers' to show); plugged again, it opens and counts.
TEST_F(RealDrivers, UnplugWhileOpenClosesThePortOnceAndReplugCounts)
{
    const Port& usb = kPorts[1];
    const uint threads = QDir(QStringLiteral("/proc/self/task")).count();
    ASSERT_TRUE(open(usb, true, true));
    EXPECT_EQ(ask(QStringLiteral("device_del u1")), "ok");
    EXPECT_TRUE(QTest::qWaitFor([&] { return lost == 1; }));
    QTest::qWait(300);
    EXPECT_EQ(lost, 1);
    EXPECT_FALSE(service->PortOpen());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("close")) << "the loss reached the window";
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
    EXPECT_EQ(QDir(QStringLiteral("/proc/self/task")).count(), threads);
    // A descriptor left on the device would read "/dev/ttyUSB0 (deleted)".
    for (const QFileInfo& fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System))
        EXPECT_FALSE(fd.symLinkTarget().startsWith(QLatin1String(usb.device))) << fd.symLinkTarget().toStdString();

    EXPECT_EQ(ask(QStringLiteral("device_add usb-serial,id=u1,chardev=c2")), "ok");
    // The adapter takes a moment to enumerate again.
    EXPECT_TRUE(QTest::qWaitFor([&] { return open(usb, true, true); }, 20000));
    countPulses(usb, kLines[0], 4);
}

}  // namespace
