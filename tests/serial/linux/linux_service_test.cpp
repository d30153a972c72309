// The Linux service: settings text, device map, and the modem-line watcher
// over a pseudo-terminal whose modem lines come from the fake layer; port
// faults through the real modem-line requests. What the kernel's own drivers
// show in the QEMU tier is not repeated here.
#include "fake_line_control.h"
#include "linux_serial_line_service.h"
#include "port_fixtures.h"

#include <QSerialPort>

#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace std::chrono_literals;
using serial::LineCapability;
using serial::PortFailure;
using serial::Write;
using Codes = std::map<std::int16_t, int>;
using Driver = FakeLineControl::Driver;
using Clock = std::chrono::steady_clock;

namespace {

// A service whose COM 1 is a pseudo-terminal with modem lines from the fake
// layer; its events are counted per code, its losses too.
struct LinuxService : ::testing::Test {
    serial::LinuxSerialLineService& make(const Driver& driver = {})
    {
        lines = new FakeLineControl(driver);
        service = std::make_unique<serial::LinuxSerialLineService>(port.tree.root(), std::unique_ptr<serial::LineControl>(lines));
        service->OnComm = [this] { ++codes[service->CommEvent()], ++count; };
        service->OnPortLost = [this] { ++lost; };
        codes.clear(), count = lost = 0;
        return *service;
    }
    // The expected number of events arrives, and no more after it (both waits run).
    bool receive(int n) { return waitFor([&] { return count >= n; }) & !waitFor([&] { return count > n; }, 30ms); }
    bool blocked(int waits = 1) { return waitFor([&] { return lines->waitsBegun() >= waits; }); }

    PtyTree port;
    FakeLineControl* lines = nullptr;
    std::unique_ptr<serial::LinuxSerialLineService> service;
    Codes codes;
    int count = 0, lost = 0;
};

// Accepted texts read back plain; a rejected one, one per kind of mistake,
// leaves the settings in force. COM numbers run from 1 to 16.
TEST_F(LinuxService, SettingsTextAndComNumbersOutsideAreRejected)
{
    const std::pair<const char*, const char*> accepted[] = {{"\t115200,M,6,2\t", "115200,m,6,2"},
        {" 300 , o , 5 , 1 ", "300,o,5,1"}, {"1,s,8,1", "1,s,8,1"}, {"2147483647,E,7,2", "2147483647,e,7,2"}};
    const char* const rejected[] = {"", "9600,n,8", "9600,n,8,1,", "9600,,8,1", "9600,x,8,1", "9600,ne,8,1", "0,n,8,1",
        "+9600,n,8,1", "2147483648,n,8,1", "9600,n,4,1", "9600,n,9,1", "9600,n,8,0", "9600,n,8,3", "9600,n,8,1.5",
        "96 00,n,8,1", "9600,n,8,1\n", "\xd9\xa9\xd9\xa6\xd9\xa0\xd9\xa0,n,8,1"};  // the last in Arabic-Indic digits
    auto& s = make();
    EXPECT_EQ(s.Settings(), "9600,n,8,1");
    for (const auto& [text, plain] : accepted)
        EXPECT_TRUE(s.setSettings(QString::fromUtf8(text)) == Write::Accepted && s.Settings() == plain) << text;
    for (const char* text : rejected)
        EXPECT_TRUE(s.setSettings(QString::fromUtf8(text)) == Write::Rejected && s.Settings() == "2147483647,e,7,2") << text;
    for (std::int16_t outside : {0, -1, 17, 32767})
        EXPECT_TRUE(s.setCommPort(outside) == Write::Rejected && s.portInfo(outside).device.isEmpty()) << outside;
    EXPECT_TRUE(s.setCommPort(16) == Write::Accepted && s.CommPort() == 16);
}

// The families follow each other in their order, each by number, gaps closed
// up, with their stable names. Left out are consoles: by the console
// attribute, by the active list (here past 64 bytes) where that is missing,
// and an alias by its major:minor. Each resolution reads the tree again, so
// an adapter plugged in after start-up is found.
TEST_F(LinuxService, MapsUartsThenUsbThenAcmByNumberWithoutConsolesReadAfresh)
{
    // The fixture's ttyUSB0, the pseudo-terminal, comes in as a USB adapter.
    EXPECT_TRUE(serial::readDeviceMap(QStringLiteral("/nonexistent-root")).empty());
    port.tree.addDevice("ttyS2", {}, {"type=4", "console=N"});
    port.tree.addDevice("ttyS10", {}, {"type=4"});
    port.tree.addDevice("ttyUSB1", {}, {"console=Y"});
    for (const char* name : {"ttyS3", "ttyACM0", "ttyUSB11", "ttyUSB2", "ttyUSB", "ttyUSBx1", "tty1", "ttyprintk", "ttyUSB5"})
        port.tree.addDevice(name);  // ttyS3 without sysfs entry: nothing known behind it
    port.tree.addStableName("usb-FTDI_FT232R_A1B2-if00-port0", "ttyUSB2");
    port.tree.addDevice("console", {}, {"active=tty0 hvc0 hvc1 hvc2 hvc3 hvc4 hvc5 hvc6 hvc7 ttyAMA0 ttyAMA1 ttyS20 ttyUSB5"});
    const Pty console;  // its node stands in for the console that ttyUSB7 is an alias of
    struct stat node {};
    ASSERT_EQ(::stat(console.slavePath().toLocal8Bit().constData(), &node), 0);
    port.tree.addDevice("ttyS20", {}, {"type=4", QStringLiteral("dev=%1:%2").arg(major(node.st_rdev)).arg(minor(node.st_rdev))});
    port.tree.addDevice("ttyUSB7", console.slavePath());
    QStringList described;  // device, kind, stable name
    for (const auto& entry : serial::readDeviceMap(port.tree.root()))
        described << QStringLiteral("%1 %2 %3").arg(entry.device).arg(int(entry.kind)).arg(entry.stableName);
    EXPECT_EQ(described.join('|'), "/dev/ttyS2 0 |/dev/ttyS10 0 |/dev/ttyUSB0 1 |/dev/ttyUSB2 1 /dev/serial/by-id/"
                                   "usb-FTDI_FT232R_A1B2-if00-port0|/dev/ttyUSB11 1 |/dev/ttyACM0 2 ");
    auto& s = make();
    port.tree.addDevice("ttyACM3");
    port.tree.addStableName("usb-Arduino-if00", "ttyACM3");
    EXPECT_EQ(s.portInfo(7).device + s.portInfo(7).stableName, "/dev/ttyACM3/dev/serial/by-id/usb-Arduino-if00");
    port.tree.removeDevice("ttyACM3");
    EXPECT_TRUE(s.portInfo(7).device.isEmpty());
}

// One event per counted edge with its line's code, none for counts made
// before the open; a change of settings begins the wait afresh. Without
// counters each wake-up or poll compares line snapshots, so a burst shows as
// one change; without modem lines there is nothing to watch. Unplugged,
// adapters answer EIO (cdc-acm first ENODEV): closed, lost once, no edge made up.
TEST_F(LinuxService, EachDriverCountsItsWayUntilUnplugged)
{
    const Codes counted{{3, 1004}, {4, 3}, {5, 3}, {6, 3}}, snapshots{{3, 2}, {4, 1}, {5, 1}, {6, 1}};
    const struct { const char* name; Driver driver; LineCapability capability; Codes codes; int unplugged; } table[] = {
        {"ftdi_sio", {}, LineCapability::Counters, counted, EIO},
        {"pl2303", {true, false, false, true}, LineCapability::WakeUpsOnly, snapshots, ENODEV},
        {"cp210x", {true, true, false, false}, LineCapability::PollingOnly, snapshots, EIO},
        {"cp210x, older kernel", {true, true, false, false, EINVAL}, LineCapability::PollingOnly, snapshots, EIO},
        {"no modem lines", {false, false, false, false}, LineCapability::None, {}, 0}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        auto& s = make(row.driver);
        lines->toggle(TIOCM_CTS, 41);
        ASSERT_TRUE(s.setPortOpen(true) == Write::Accepted && s.setCommPort(2) == Write::Rejected);  // no other COM while open
        EXPECT_TRUE(waitFor([&] { return s.lineCapability() == row.capability; }));
        EXPECT_TRUE(!row.driver.waits || (blocked() && s.setSettings("2400,n,8,1") == Write::Accepted && blocked(2)));
        // One change at a time, so that each snapshot sees one.
        for (const auto& [bit, edges] : {std::pair{TIOCM_CTS, 1001}, {TIOCM_DSR, 3}, {TIOCM_CD, 3}, {TIOCM_CTS, 3}, {TIOCM_RNG, 3}})
            lines->toggle(bit, edges), waitFor([&, seen = count] { return row.codes.empty() || count > seen; });
        EXPECT_TRUE(receive(row.codes.empty() ? 0 : row.driver.countsChanges ? 1013 : 5));
        if (row.unplugged != 0) {  // a second report would come within the quarter second
            lines->unplug(row.unplugged);
            EXPECT_TRUE(waitFor([&] { return lost > 0; }) && !waitFor([&] { return lost > 1; }, 250ms));
            EXPECT_TRUE(!s.PortOpen() && s.lineCapability() == LineCapability::None);
        }
        EXPECT_EQ(codes, row.codes);
    }
}

// An edge counted after the last reading, just before the wait began, wakes
// no wait; the periodic look still finds it. Closing joins the watcher
// blocked in its wait and drops what it handed over but was not delivered
// yet; the port opened again counts.
TEST_F(LinuxService, TheLookFindsALateEdgeClosingDropsWhatIsQueued)
{
    auto& s = make();
    ASSERT_TRUE(s.setPortOpen(true) == Write::Accepted && blocked());
    lines->toggle(TIOCM_CTS, 1, false);
    EXPECT_TRUE(receive(1));
    const int waits = lines->waitsBegun();
    lines->toggle(TIOCM_CTS, 5);
    for (int i = 0; i < 5000 && lines->waitsBegun() == waits; ++i)  // posted and waiting again; no events run
        std::this_thread::sleep_for(200us);
    s.setPortOpen(false);
    ASSERT_TRUE(s.setPortOpen(true) == Write::Accepted && receive(1) && blocked(waits + 2));
    lines->toggle(TIOCM_CTS, 2);
    EXPECT_TRUE(receive(3));
}

// The watcher's signal is a real-time one nobody else had claimed, and a
// stray one is harmless.
// Should something take it over later, ignoring it or restarting the wait,
// stop() still returns: the thread is given up, tells nothing more, and ends
// on its own with what it holds.
TEST(LineWatcher, StopsWithinItsDeadlineWhenItsSignalWasTakenOver)
{
    const int signal = serial::stopSignal();
    ASSERT_TRUE(signal >= SIGRTMIN && signal <= SIGRTMAX) << signal;
    ::raise(signal);
    struct sigaction ignored {}, restarting {}, own {};
    ignored.sa_handler = SIG_IGN;
    restarting.sa_handler = [](int) {};
    restarting.sa_flags = SA_RESTART;
    const int free = serial::firstFreeRealTimeSignal();
    ::sigaction(free, &restarting, &own);
    EXPECT_NE(serial::firstFreeRealTimeSignal(), free) << "a claimed signal is passed over";
    ::sigaction(free, &own, nullptr);
    for (const struct sigaction& other : {ignored, restarting}) {
        auto lines = std::make_shared<FakeLineControl>(Driver{});
        std::atomic<int> told{0};
        auto watcher = std::make_shared<serial::LineWatcher>(-1, lines, false, [&](const auto&) { ++told; }, [&] { ++told; });
        watcher->start();
        ASSERT_TRUE(waitFor([&] { return lines->waitsBegun() >= 1; }));
        ::sigaction(signal, &other, &own);
        watcher->stop();
        ::sigaction(signal, &own, nullptr);
        const std::weak_ptr<serial::LineWatcher> left = std::exchange(watcher, nullptr);
        lines->toggle(TIOCM_CTS);
        EXPECT_TRUE(waitFor([&] { return left.expired(); }) && told == 0);
    }
}

// A lone edge after a quiet spell goes over at once with its own stamp; edges
// that wake the wait right after it are stamped evenly since its reading and
// held until a display frame has passed. A short pulse after a quiet spell
// is not stamped back into the spell.
TEST_F(LinuxService, ALoneEdgeGoesAtOnceABatchIsStampedEvenlyAndHeldForAFrame)
{
    auto& s = make();
    lines->onWait = [&] {  // ten edges wake the wait that follows the lone one
        serial::LineCounts counts;
        if (lines->getCounts(-1, counts) == 0 && counts.cts == 1)
            lines->toggle(TIOCM_CTS, 10);
    };
    std::vector<std::pair<Clock::time_point, Clock::time_point>> events;  // arrival, stamp
    s.OnComm = [&] { ++count, events.emplace_back(Clock::now(), s.CommEventTime().monotonic); };
    ASSERT_TRUE(s.setPortOpen(true) == Write::Accepted && blocked());
    const auto before = Clock::now();
    lines->toggle(TIOCM_CTS);
    ASSERT_TRUE(receive(11));
    std::this_thread::sleep_for(50ms);
    const auto pulse = Clock::now();
    lines->toggle(TIOCM_CTS, 2);
    ASSERT_TRUE(receive(13));
    EXPECT_TRUE(events[0].second >= before && events[11].second >= pulse);
    EXPECT_GE(events[1].first - events[0].second, 16ms);  // from the lone edge's reading: no delivery delay counts
    const auto spacing = (events[10].second - events[0].second) / 10;
    for (int i = 1; i <= 10; ++i)
        EXPECT_LE(std::chrono::abs(events[i].second - events[i - 1].second - spacing), 1ns) << i;
    // The time of day comes with the edge; the code is there only while OnComm runs.
    EXPECT_TRUE(std::fmod(serial::edgeTimeNow().timeOfDay - s.CommEventTime().timeOfDay + 86400, 86400) < 5 && s.CommEvent() == 0);
}

// Port faults through the real modem-line requests: held by another (Qt's
// lock tells even root) a port is in use, one whose device is gone or that
// has none is no such device, one the user may not open (only root can make
// one: real and effective ids become nobody's, the saved one stays root's to
// come back to) is no permission. Opened, it has nothing to watch, a
// pseudo-terminal having no modem lines, and its hang-up is noticed once all
// the same. No descriptor is left behind.
TEST_F(LinuxService, PortFaultsInUseGoneNoPermissionOrHungUpLeaveNoDescriptor)
{
    const auto descriptors = [] { return QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System).size(); };
    const auto before = descriptors();
    serial::LinuxSerialLineService s(port.tree.root(), serial::makeSystemLineControl());
    s.OnPortLost = [this] { ++lost; };
    s.setDTREnable(true);  // refused by the terminal, which is used all the same
    port.tree.addDevice("ttyUSB1", port.tree.root() + "/gone");
    for (std::int16_t com : {2, 16, 1}) {
        QSerialPort holder(port.pty.slavePath());
        ASSERT_TRUE(s.setCommPort(com) == Write::Accepted && holder.open(QIODevice::ReadWrite));
        EXPECT_TRUE(s.setPortOpen(true) == Write::Rejected &&
                    s.portInfo(com).lastFailure == (com == 1 ? PortFailure::InUse : PortFailure::NoSuchDevice)) << com;
    }
    if (const passwd* nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr) {
        ASSERT_TRUE(::chmod(QFile::encodeName(port.pty.slavePath()), 0) == 0 && ::chmod(QFile::encodeName(port.tree.root()), 0755) == 0);
        ASSERT_EQ(::setresgid(nobody->pw_gid, nobody->pw_gid, 0), 0);
        const bool asNobody = ::setresuid(nobody->pw_uid, nobody->pw_uid, 0) == 0;
        const Write opened = s.setPortOpen(true);
        ASSERT_EQ(::setresuid(0, 0, 0) | ::setresgid(0, 0, 0), 0);
        EXPECT_TRUE(asNobody && opened == Write::Rejected && s.portInfo(1).lastFailure == PortFailure::NoPermission);
    }
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    EXPECT_TRUE(s.portInfo(1).lastFailure == PortFailure::None && s.lineCapability() == LineCapability::None);
    port.pty.hangUp();
    // A second report would come within the 300 ms; the terminal's master side is closed too.
    EXPECT_TRUE(waitFor([&] { return !s.PortOpen(); }) && !waitFor([&] { return lost > 1; }, 300ms));
    EXPECT_TRUE(lost == 1 && descriptors() == before - 1);
    if (::geteuid() != 0 || !::getpwnam("nobody"))
        GTEST_SKIP() << "no permission untried: it needs root and the user nobody";
}

// A backlog larger than one drain's budget is handed on from drain to drain
// with each posted item moved once, not the remainder again every time.
TEST(LineEventRelay, DrainsABacklogMovingEachItemOnce)
{
    std::uint32_t delivered = 0, kItems = 50000;  // five drains
    serial::LineEventRelay relay([&](std::int16_t, const serial::EdgeTime&) { ++delivered; }, [] {});
    relay.setOpenGeneration(1);
    for (std::uint32_t i = 0; i < kItems; ++i)
        relay.postEdges(1, {{serial::comEvCTS, 1, {}}});
    EXPECT_TRUE(waitFor([&] { return delivered == kItems; }) && relay.itemsMoved() == kItems);
}

}  // namespace
