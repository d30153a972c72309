// The Linux service: settings text, device map, and the modem-line watcher
// over a pseudo-terminal whose modem lines come from the fake layer.
#include "device_map.h"
#include "fake_line_control.h"
#include "line_watcher.h"
#include "linux_serial_line_service.h"
#include "port_fixtures.h"
#include "wait_interrupt.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using serial::LineCapability;
using serial::PortFailure;
using serial::Write;
using Codes = std::map<std::int16_t, int>;
using Driver = FakeLineControl::Driver;

namespace {

const Driver kUart{.ringTrailingOnly = true};            // 8250: counters and wake-ups
const Driver kFtdi{};                                    // ftdi_sio: the same, RI on both edges
const Driver kPl2303{true, false, false, true, ENOTTY};  // wake-ups, no counters
const Driver kCp210x{true, true, false, false, ENOTTY};  // counters that never move, no wake-ups
const Driver kOldCp210x{true, true, false, false, EINVAL};
const Driver kNoLines{false, false, false, false, ENOTTY};

std::unique_ptr<serial::LinuxSerialLineService> serviceOver(const QString& root, const Driver& driver = kUart)
{
    return std::make_unique<serial::LinuxSerialLineService>(root, std::make_unique<FakeLineControl>(driver));
}

// Accepted texts are in force and read back in their plain form; a rejected
// text leaves the settings in force.
TEST(SettingsText, AcceptedReadBackPlainRejectedLeaveTheSettingsInForce)
{
    const struct { const char* text; const char* readBack; } accepted[] = {
        {"9600,n,8,1", "9600,n,8,1"},
        {"19200,E,7,2", "19200,e,7,2"},
        {" 300 , o , 5 , 1 ", "300,o,5,1"},
        {"1,s,8,1", "1,s,8,1"},
        {"2147483647,n,8,1", "2147483647,n,8,1"},
        {"\t115200,M,6,2\t", "115200,m,6,2"},
    };
    const char* const rejected[] = {
        "", "9600", "9600,n,8", "9600,n,8,1,", "9600,x,8,1", "9600,,8,1", "9600,ne,8,1", "0,n,8,1",
        "-9600,n,8,1", "+9600,n,8,1", "9600,n,9,1", "9600,n,4,1", "9600,n,8,3", "9600,n,8,0", "9600,n,8,1.5",
        "2147483648,n,8,1", "99999999999999999999,n,8,1", "9600,n,8,1x", "9600,n,8,1 x", "96 00,n,8,1",
        "9600;n;8;1", "9600,n,8,1\n",
        "\xd9\xa9\xd9\xa6\xd9\xa0\xd9\xa0,n,8,1",  // Arabic-Indic digits
    };
    auto service = serviceOver(QStringLiteral("/nonexistent-root"));
    EXPECT_EQ(service->Settings(), "9600,n,8,1");
    for (const auto& row : accepted) {
        EXPECT_EQ(service->setSettings(QString::fromUtf8(row.text)), Write::Accepted) << row.text;
        EXPECT_EQ(service->Settings(), row.readBack);
    }
    for (const char* text : rejected) {
        EXPECT_EQ(service->setSettings(QString::fromUtf8(text)), Write::Rejected) << text;
        EXPECT_EQ(service->Settings(), "115200,m,6,2");
    }
}

// The families follow each other in their order, each by number, gaps closed
// up. A console that says so and a ttyS line without a UART are left out on
// the real drivers' sysfs; here the consoles a kernel names otherwise.
TEST(DeviceMap, OrdersUartsThenUsbThenAcmByNumberWithoutConsoles)
{
    FakeTree tree;
    EXPECT_TRUE(serial::readDeviceMap(tree.root()).empty());
    EXPECT_TRUE(serial::readDeviceMap(QStringLiteral("/nonexistent-root")).empty());
    tree.addDevice("ttyS2", {}, {"type=4", "console=N"});
    tree.addDevice("ttyS10", {}, {"type=4"});
    tree.addDevice("ttyS3");  // no sysfs entry: nothing known behind it
    tree.addDevice("ttyUSB0", {}, {"console=Y"});
    for (const char* name : {"ttyACM0", "ttyUSB11", "ttyUSB2", "ttyUSB", "ttyUSBx1", "tty1", "ttyprintk"})
        tree.addDevice(QString::fromLatin1(name));
    tree.addStableName("usb-FTDI_FT232R_A1B2-if00-port0", "ttyUSB2");
    tree.addDevice("ttyUSB5");
    // A kernel without the console attribute lists them all, here the last two past 64 bytes.
    tree.addDevice("console", {}, {"active=tty0 hvc0 hvc1 hvc2 hvc3 hvc4 hvc5 hvc6 hvc7 ttyAMA0 ttyAMA1 ttyS20 ttyUSB5"});
    // An alias by another name opens a console: a pseudo-terminal's node stands in for it.
    const Pty console;
    struct stat node {};
    ASSERT_EQ(::stat(console.slavePath().toLocal8Bit().constData(), &node), 0);
    tree.addDevice("ttyS20", {}, {"type=4", QStringLiteral("dev=%1:%2").arg(major(node.st_rdev)).arg(minor(node.st_rdev))});
    tree.addDevice("ttyUSB7", console.slavePath());

    std::vector<std::string> described;  // device, kind, stable name
    for (const auto& entry : serial::readDeviceMap(tree.root()))
        described.push_back(QStringLiteral("%1 %2 %3").arg(entry.device).arg(int(entry.kind)).arg(entry.stableName).toStdString());
    EXPECT_EQ(described, (std::vector<std::string>{"/dev/ttyS2 0 ", "/dev/ttyS10 0 ",
                                                   "/dev/ttyUSB2 1 /dev/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0",
                                                   "/dev/ttyUSB11 1 ", "/dev/ttyACM0 2 "}));
}

// Each resolution reads the tree again, so an adapter plugged in after
// start-up is found; COM numbers run from 1 to 16.
TEST(DeviceMap, TheServiceReadsTheMapAfreshAndTakesComOneToSixteen)
{
    FakeTree tree;
    tree.addDevice("ttyS1", {}, {"type=4"});
    auto service = serviceOver(tree.root());
    EXPECT_EQ(service->portInfo(1).device, "/dev/ttyS1");
    EXPECT_TRUE(service->portInfo(2).device.isEmpty());
    tree.addDevice("ttyUSB0");
    tree.addStableName("usb-Prolific-if00-port0", "ttyUSB0");
    EXPECT_EQ(service->portInfo(2).device, "/dev/ttyUSB0");
    EXPECT_EQ(service->portInfo(2).stableName, "/dev/serial/by-id/usb-Prolific-if00-port0");
    tree.removeDevice("ttyUSB0");
    EXPECT_TRUE(service->portInfo(2).device.isEmpty());

    for (std::int16_t outside : {0, -1, 17, 32767}) {
        EXPECT_EQ(service->setCommPort(outside), Write::Rejected) << outside;
        EXPECT_TRUE(service->portInfo(outside).device.isEmpty()) << outside;
    }
    EXPECT_EQ(service->CommPort(), 1);
    EXPECT_EQ(service->setCommPort(16), Write::Accepted);
    EXPECT_EQ(service->CommPort(), 16);
}

// A service whose COM 1 is a pseudo-terminal, its modem lines from the fake
// layer; OnComm and OnPortLost are recorded.
class LinuxService : public ::testing::Test {
protected:
    serial::LinuxSerialLineService& make(const Driver& driver, const QString& root = {})
    {
        service.reset();
        auto fake = std::make_unique<FakeLineControl>(driver);
        lines = fake.get();
        service = std::make_unique<serial::LinuxSerialLineService>(root.isEmpty() ? port.tree.root() : root,
                                                                   std::move(fake));
        service->OnComm = [this] {
            ++codes[service->CommEvent()];
            ++count;
            last = service->CommEventTime();
        };
        service->OnPortLost = [this] { ++lost; };
        codes.clear();
        count = lost = 0;
        return *service;
    }

    // Events settle: the expected number arrives, and no more come after it.
    bool receive(int expected)
    {
        const bool arrived = waitFor([&] { return count >= expected; });
        waitFor([] { return false; }, 30ms);
        return arrived && count == expected;
    }
    bool blocked(int waits = 1)
    {
        return waitFor([&] { return lines->waitsBegun() >= waits; });
    }
    // Unplugged adapters answer EIO, cdc-acm first ENODEV: the port is closed
    // and the loss said once, with no edge made up.
    void unplugAndExpectLostOnce(int error)
    {
        const int seen = count;
        lines->unplug(error);
        EXPECT_TRUE(waitFor([&] { return lost > 0; }));
        EXPECT_FALSE(service->PortOpen());
        EXPECT_EQ(service->lineCapability(), LineCapability::None);
        waitFor([] { return false; }, 250ms);
        EXPECT_EQ(lost, 1);
        EXPECT_EQ(count, seen);
    }

    PtyTree port;
    FakeLineControl* lines = nullptr;
    std::unique_ptr<serial::LinuxSerialLineService> service;
    Codes codes;  // events per code
    int count = 0;
    serial::EdgeTime last;
    int lost = 0;
};

// The control lines arriving as chosen, and received bytes drained, are the
// real drivers' to show; here the settings while open, the close and a
// reopen, and ports that vanish or never were.
TEST_F(LinuxService, OpensClosesAndReopensAndRefusesPortsThatAreGone)
{
    auto& s = make(kUart);
    EXPECT_EQ(s.setPortOpen(false), Write::Accepted);  // closed: nothing to do
    ASSERT_EQ(s.setSettings("19200,e,7,2"), Write::Accepted);
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    EXPECT_EQ(s.setPortOpen(true), Write::Accepted);  // open: stays as it is
    EXPECT_EQ(s.portInfo(1).lastFailure, PortFailure::None);
    EXPECT_EQ(s.setCommPort(2), Write::Rejected);
    EXPECT_EQ(s.setSettings("4800,o,8,1"), Write::Accepted);
    EXPECT_EQ(s.setSettings("4800,q,8,1"), Write::Rejected);
    EXPECT_EQ(s.Settings(), "4800,o,8,1");

    EXPECT_EQ(s.setPortOpen(false), Write::Accepted);
    EXPECT_FALSE(s.PortOpen());
    EXPECT_EQ(s.lineCapability(), LineCapability::None);
    port.tree.addDevice("ttyUSB1", port.tree.root() + "/gone");
    for (std::int16_t number : {2, 16}) {
        ASSERT_EQ(s.setCommPort(number), Write::Accepted);
        EXPECT_EQ(s.setPortOpen(true), Write::Rejected) << number;
        EXPECT_EQ(s.portInfo(number).lastFailure, PortFailure::NoSuchDevice) << number;
    }
    ASSERT_EQ(s.setCommPort(1), Write::Accepted);
    EXPECT_EQ(s.setPortOpen(true), Write::Accepted);
    EXPECT_EQ(count + lost, 0);
}

// One event per counted edge on every line, with its code and time, none for
// edges counted before the open. 8250 UARTs count RI on its trailing edge
// only: there one count is a whole pulse, so the same wave gives the same events.
TEST_F(LinuxService, CounterJumpsGiveOneEventPerEdgeFromTheOpenUntilUnplugged)
{
    FakeTree board;
    board.addDevice("ttyS4", port.pty.slavePath(), {"type=4"});
    for (const bool onBoard : {false, true}) {
        SCOPED_TRACE(onBoard ? "on-board UART" : "USB adapter");
        auto& s = make(onBoard ? kUart : kFtdi, onBoard ? board.root() : QString());
        lines->toggle(TIOCM_CTS, 41);
        lines->toggle(TIOCM_RNG, 12);
        ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
        EXPECT_EQ(s.lineCapability(), LineCapability::Counters);
        ASSERT_TRUE(blocked());
        ASSERT_EQ(s.setSettings("2400,n,8,1"), Write::Accepted);
        ASSERT_TRUE(blocked(2)) << "a change of settings begins the wait afresh";

        const auto before = std::chrono::steady_clock::now();
        const double dayBefore = serial::edgeTimeNow().timeOfDay;
        lines->toggle(TIOCM_CTS, 3);
        lines->toggle(TIOCM_DSR, 2);
        lines->toggle(TIOCM_CD, 1);
        lines->toggle(TIOCM_RNG, 4);
        lines->toggle(TIOCM_CTS, 1000);
        ASSERT_TRUE(receive(1010));
        EXPECT_EQ(codes, (Codes{{3, 1003}, {4, 2}, {5, 1}, {6, 4}}));
        EXPECT_GE(last.monotonic, before);
        EXPECT_LE(last.monotonic, std::chrono::steady_clock::now());
        // Around midnight the day wraps; otherwise the two readings lie close together.
        EXPECT_TRUE(dayBefore > 86390 || std::abs(last.timeOfDay - dayBefore) < 5.0);
        EXPECT_EQ(s.CommEvent(), 0) << "the code is there only while OnComm runs";
        unplugAndExpectLostOnce(EIO);
    }
}

// An edge counted just after the last reading, before the wait began, wakes
// no wait; the periodic look still reports it within a fraction of a second.
TEST(LineWatcher, AnEdgeJustBeforeTheWaitIsStillReported)
{
    struct LateEdge : FakeLineControl {
        using FakeLineControl::FakeLineControl;
        int getCounts(int fd, serial::LineCounts& counts) override
        {
            const int error = FakeLineControl::getCounts(fd, counts);
            if (++reads == 2)  // the reading right before the first wait
                toggle(TIOCM_CTS);
            return error;
        }
        std::atomic<int> reads{0};
    };
    std::atomic<std::uint32_t> edges{0};
    const auto watcher = std::make_shared<serial::LineWatcher>(
        -1, std::make_shared<LateEdge>(kUart), false,
        [&](const std::vector<serial::LineEdges>& found) { for (const auto& e : found) edges += e.count; }, [] {});
    watcher->start();
    EXPECT_TRUE(waitFor([&] { return edges == 1; }, 500ms));
    watcher->stop();
}

// The watcher's signal is a real-time one nobody else had claimed, and a
// stray one is harmless. Should something take it over later, ignoring it or
// restarting the wait, stopping still returns: the thread is given up, tells
// nothing more, and ends on its own with what it holds.
TEST(LineWatcher, StopsWithinItsDeadlineWhenItsSignalWasTakenOver)
{
    const int signal = serial::stopSignal();
    ASSERT_TRUE(signal >= SIGRTMIN && signal <= SIGRTMAX) << signal;
    ::raise(signal);
    struct sigaction claimed {};
    claimed.sa_handler = [](int) {};
    claimed.sa_flags = SA_RESTART;
    const int free = serial::firstFreeRealTimeSignal();
    struct sigaction before {};
    ::sigaction(free, &claimed, &before);
    EXPECT_NE(serial::firstFreeRealTimeSignal(), free) << "a claimed signal is passed over";
    ::sigaction(free, &before, nullptr);

    struct sigaction ignored {};
    ignored.sa_handler = SIG_IGN;
    for (const struct sigaction& other : {ignored, claimed}) {
        auto lines = std::make_shared<FakeLineControl>(kUart);
        std::atomic<int> told{0};
        auto watcher = std::make_shared<serial::LineWatcher>(
            -1, lines, false, [&](const std::vector<serial::LineEdges>&) { ++told; }, [&] { ++told; });
        watcher->start();
        ASSERT_TRUE(waitFor([&] { return lines->waitsBegun() >= 1; }));
        struct sigaction own {};
        ::sigaction(signal, &other, &own);
        bounded(10s, [&] { watcher->stop(); });
        ::sigaction(signal, &own, nullptr);
        const std::weak_ptr<serial::LineWatcher> left = watcher;
        watcher.reset();
        lines->toggle(TIOCM_CTS);
        EXPECT_TRUE(waitFor([&] { return left.expired(); }));
        EXPECT_EQ(told, 0);
    }
}

// A lone edge after a quiet spell goes over at once with its own stamp; edges
// that wake the wait right after it are stamped evenly since its reading and
// held until a display frame has passed. A short pulse after a quiet spell
// is not stamped back into the spell.
TEST(LineWatcher, ALoneEdgeGoesAtOnceABatchIsStampedEvenlyAndHeldForAFrame)
{
    struct Burst : FakeLineControl {
        using FakeLineControl::FakeLineControl;
        int waitForChange(int fd, int bits) override
        {
            serial::LineCounts counts;
            if (getCounts(fd, counts) == 0 && counts.cts == 1 && !burst.exchange(true)) {
                toggle(TIOCM_CTS, 10);  // ten more wake the wait after the lone edge
                return 0;
            }
            return FakeLineControl::waitForChange(fd, bits);
        }
        std::atomic<bool> burst{false};
    };
    const auto lines = std::make_shared<Burst>(kUart);
    using Clock = std::chrono::steady_clock;
    std::mutex mutex;
    std::vector<std::pair<Clock::time_point, std::vector<serial::LineEdges>>> handed;
    const auto watcher = std::make_shared<serial::LineWatcher>(-1, lines, false, [&](const std::vector<serial::LineEdges>& found) {
        std::lock_guard lock(mutex);
        handed.emplace_back(Clock::now(), found);
    }, [] {});
    watcher->start();
    ASSERT_TRUE(waitFor([&] { return lines->waitsBegun() == 1; }));
    const auto before = Clock::now();
    lines->toggle(TIOCM_CTS);
    ASSERT_TRUE(waitFor([&] { std::lock_guard lock(mutex); return handed.size() == 2; }));
    std::this_thread::sleep_for(50ms);
    const auto pulse = Clock::now();
    lines->toggle(TIOCM_CTS, 2);
    ASSERT_TRUE(waitFor([&] { std::lock_guard lock(mutex); return handed.size() == 3; }));
    watcher->stop();
    for (const serial::LineEdges& edge : handed[2].second)
        EXPECT_GE(edge.at.monotonic, pulse);

    ASSERT_EQ(handed[0].second.size(), 1u);
    ASSERT_EQ(handed[1].second.size(), 10u);
    EXPECT_GE(handed[1].first - handed[0].first, 16ms);
    auto previous = handed[0].second[0].at.monotonic;
    EXPECT_GE(previous, before);
    const auto spacing = (handed[1].second.back().at.monotonic - previous) / 10;
    for (const serial::LineEdges& edge : handed[1].second) {
        EXPECT_EQ(edge.code, serial::comEvCTS);
        EXPECT_EQ(edge.count, 1u);
        EXPECT_LE(std::chrono::abs(edge.at.monotonic - previous - spacing), 1ns);
        previous = edge.at.monotonic;
    }
}

// Without counters each wake-up or poll compares line snapshots, so a single
// change is seen; without modem lines there is nothing to watch. Unplugged, an
// adapter answers EIO (cdc-acm first ENODEV).
TEST_F(LinuxService, DriversWithoutCountersOrWakeUpsFallBackUntilUnplugged)
{
    const Codes seen{{3, 2}, {5, 1}, {6, 1}};
    const struct { const char* name; Driver driver; LineCapability capability; Codes codes; int unplugged; } table[] = {
        {"pl2303", kPl2303, LineCapability::WakeUpsOnly, seen, ENODEV},
        {"cp210x", kCp210x, LineCapability::PollingOnly, seen, EIO},
        {"cp210x, older kernel", kOldCp210x, LineCapability::PollingOnly, seen, EIO},
        {"no modem lines", kNoLines, LineCapability::None, {}, 0},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        auto& s = make(row.driver);
        ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
        EXPECT_TRUE(waitFor([&] { return s.lineCapability() == row.capability; }));
        for (int bit : {TIOCM_CTS, TIOCM_CD, TIOCM_CTS, TIOCM_RNG}) {
            const int before = count;
            lines->toggle(bit);
            waitFor([&] { return row.codes.empty() || count > before; });
        }
        EXPECT_TRUE(receive(row.codes.empty() ? 0 : 4));
        EXPECT_EQ(codes, row.codes);
        if (row.unplugged != 0)
            unplugAndExpectLostOnce(row.unplugged);
    }
}

// Closing joins the watcher while it is blocked in a wait; edges it handed
// over but were not delivered yet belong to the closed port.
TEST_F(LinuxService, ClosingWhileBlockedReturnsAndDropsQueuedEvents)
{
    auto& s = make(kUart);
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    ASSERT_TRUE(blocked());
    lines->toggle(TIOCM_CTS, 5);
    // The watcher waits again once it has posted; no events run meanwhile.
    for (int i = 0; i < 5000 && lines->waitsBegun() < 2; ++i)
        std::this_thread::sleep_for(200us);
    ASSERT_EQ(lines->waitsBegun(), 2);
    bounded(10s, [&] { s.setPortOpen(false); });
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    EXPECT_TRUE(receive(0));
    ASSERT_TRUE(blocked(3));
    lines->toggle(TIOCM_CTS, 2);
    EXPECT_TRUE(receive(2));
    bounded(10s, [&] { s.setPortOpen(false); });
    EXPECT_FALSE(s.PortOpen());
}

// A backlog larger than one drain's budget is handed on from drain to drain
// with each posted item moved once, not the remainder again every time.
TEST(LineEventRelay, DrainsABacklogMovingEachItemOnce)
{
    std::uint32_t delivered = 0;
    serial::LineEventRelay relay([&](std::int16_t, const serial::EdgeTime&) { ++delivered; }, [] {});
    relay.setOpenGeneration(1);
    const std::vector<serial::LineEdges> one{{serial::comEvCTS, 1, {}}};
    constexpr std::uint32_t kItems = 50000;  // five drains
    for (std::uint32_t i = 0; i < kItems; ++i)
        relay.postEdges(1, one);
    ASSERT_TRUE(waitFor([&] { return delivered == kItems; }));
    EXPECT_EQ(relay.itemsMoved(), kItems);
}

}  // namespace
