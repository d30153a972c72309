// The Linux service: settings text, device map, and the modem-line watcher
// over a pseudo-terminal whose modem lines come from the fake layer, port
// faults included. What the kernel's own drivers show in the QEMU tier is not
// repeated here.
#include "linux_serial_line_service.h"
#include "port_fixtures.h"

#include <QTest>

#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>

using namespace std::chrono_literals;
using namespace serial;
using Codes = std::map<std::int16_t, int>;
using Clock = std::chrono::steady_clock;

namespace {

// A service whose COM 1 is a pseudo-terminal with modem lines from the fake
// layer; its events are counted per code, its losses too.
struct LinuxService : ::testing::Test {
    LinuxSerialLineService& make(const FakeLineControl::Driver& driver = {})
    {
        lines = new FakeLineControl(driver);
        service = std::make_unique<LinuxSerialLineService>(port.tree.root(), std::unique_ptr<LineControl>(lines));
        service->OnComm = [this] { ++codes[service->CommEvent()]; };
        service->OnPortLost = [this] { ++lost; };
        codes.clear();
        lost = 0;
        return *service;
    }

    PtyTree port;
    FakeLineControl* lines = nullptr;
    std::unique_ptr<LinuxSerialLineService> service;
    Codes codes;
    int lost = 0;
};

// Accepted texts read back plain; rejected ones, one per kind of mistake,
// leave the settings in force. COM numbers run from 1 to 16; one outside
// leaves the number in force. The device map behind the numbers.
TEST_F(LinuxService, SettingsTextComNumbersOutsideRejectedAndTheDeviceMapReadAfresh)
{
    const std::pair<QString, std::string> accepted[] = {{"\t115200,M,6,2\t", "115200,m,6,2"},
        {" 300 , o , 5 , 1 ", "300,o,5,1"}, {"1,s,8,1", "1,s,8,1"}, {"2147483647,E,7,2", "2147483647,e,7,2"}};
    // The last one with an Arabic-Indic digit.
    const QString rejected[] = {"1,n,8", "1,n,8,1,", "1,,8,1", "1,x,8,1", "1,ne,8,1", "0,n,8,1", "2147483648,n,8,1",
        "+1,n,8,1", "1,n,4,1", "1,n,9,1", "1,n,8,0", "1,n,8,3", "1,n,8,1.5", "1 1,n,8,1", "1,n,8,1\n", "\u0669,n,8,1"};
    auto& s = make();
    for (const auto& [text, plain] : accepted)
        EXPECT_TRUE(s.setSettings(text) == Write::Accepted && s.Settings().toStdString() == plain) << plain;
    for (const QString& text : rejected)
        EXPECT_EQ(s.setSettings(text), Write::Rejected) << text.toStdString();
    EXPECT_EQ(s.Settings().toStdString(), "2147483647,e,7,2");
    for (std::int16_t com : {16, 0, 17})  // the last accepted stays in force
        EXPECT_EQ(s.setCommPort(com), com == 16 ? Write::Accepted : Write::Rejected) << com;
    EXPECT_EQ(s.CommPort(), 16);

    // The families follow each other in their order, each by number, gaps
    // closed up, with their stable names (lines without a UART: the kernel
    // tier's COM 7). Left out are consoles: by the console attribute, by the
    // active list (here past 64 bytes) where that is missing, and an alias by
    // its major:minor. Each resolution reads the tree again, so an adapter
    // plugged in after start-up is found.
    port.tree.addDevice("ttyS2", {}, {"type=4", "console=N"});
    port.tree.addDevice("ttyUSB1", {}, {"console=Y"});
    for (const char* name : {"ttyUSB11", "ttyUSB2", "ttyUSB", "ttyUSBx1", "ttyUSB5"})
        port.tree.addDevice(name);
    port.tree.addDevice("serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0", "../../ttyUSB2");
    port.tree.addDevice("console", {}, {"active=tty0 hvc0 hvc1 hvc2 hvc3 hvc4 hvc5 hvc6 ttyAMA0 ttyAMA1 ttyS20 ttyUSB5"});
    // The console ttyS20 is the device /dev/null is (1:3), so ttyUSB7 is an alias of it.
    port.tree.addDevice("ttyS20", {}, {"type=4", "dev=1:3"});
    port.tree.addDevice("ttyUSB7", "/dev/null");
    QStringList described;
    for (const DeviceEntry& entry : readDeviceMap(port.tree.root()))
        described << entry.device + ' ' + entry.stableName;
    EXPECT_EQ(described.join('|').toStdString(),
              "/dev/ttyS2 |/dev/ttyUSB0 |/dev/ttyUSB2 /dev/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0|/dev/ttyUSB11 ");
    port.tree.addDevice("ttyACM0");
    EXPECT_EQ(s.portInfo(5).device.toStdString(), "/dev/ttyACM0");
}

// One event per counted edge with its line's code (counts made before the
// open are the stamper's baseline and the kernel tier's reopen); a flood
// leaves the window's timers their turn. Without counters each poll compares
// line snapshots, so a burst shows as one change. With a debounce a bouncing
// burst counts once, and one that ends where it began not at all. Unplugged,
// adapters answer EIO (cdc-acm, pl2303 first ENODEV): closed, lost once, no
// edge made up. The ways that wait on the same thread as ftdi_sio's (pl2303's
// wake-ups, a ttyACM's RI and silent CTS) are the kernel tier's to show on the
// real drivers.
TEST_F(LinuxService, EachDriverCountsItsWayUntilUnplugged)
{
    const struct { const char* name; FakeLineControl::Driver driver; LineCapability way; Codes codes; int gone; } table[] = {
        {"ftdi_sio", {}, LineCapability::Counters, {{comEvCTS, 20005}, {comEvDSR, 3}, {comEvCD, 3}, {comEvRing, 3}}, EIO},
        {"cp210x, older kernel", {true, true, false, false, EINVAL}, LineCapability::PollingOnly,
         {{comEvCTS, 3}, {comEvDSR, 1}, {comEvCD, 1}, {comEvRing, 1}}, ENODEV}};
    // The last jump is more than one turn of the window thread hands on, so
    // the rest must follow without another edge to carry it.
    const std::pair<int, int> changes[] = {
        {TIOCM_CTS, 3}, {TIOCM_DSR, 3}, {TIOCM_CD, 3}, {TIOCM_RNG, 3}, {TIOCM_CTS, 20001}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        auto& s = make(row.driver);
        QTimer timer;
        int most = 0;  // edges between two ticks
        timer.callOnTimeout([&, at = 0]() mutable {
            const int cts = codes.contains(comEvCTS) ? codes.at(comEvCTS) : 0;  // no entry made before the first
            most = std::max(most, cts - std::exchange(at, cts));
        });
        timer.start(0);
        ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
        EXPECT_TRUE(QTest::qWaitFor([&] { return s.lineCapability() == row.way; }));
        for (const auto& [bit, edges] : changes) {
            const Codes seen = codes;
            lines->toggle(bit, edges);
            // One change at a time, so that each snapshot sees one.
            EXPECT_TRUE(row.way == LineCapability::Counters || QTest::qWaitFor([&] { return codes != seen; }));
        }
        Codes undebounced = row.codes;  // all but the debounced burst's one change, counted before the time is set
        --undebounced[comEvCTS];
        EXPECT_TRUE(QTest::qWaitFor([&] { return codes == undebounced; }));
        s.setDebounceTime(5ms);
        lines->toggle(TIOCM_CTS, 3);
        QTest::qWait(50);
        lines->toggle(TIOCM_CTS, 2);
        EXPECT_TRUE(QTest::qWaitFor([&] { return codes == row.codes; }));
        EXPECT_LT(most, 20001) << "the flood kept the timer waiting";
        lines->unplug(row.gone);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !s.PortOpen(); }));
        QTest::qWait(250);  // a second report would come within it
        EXPECT_EQ(lost, 1);
        EXPECT_EQ(codes, row.codes);
    }
}

// A lone edge after a quiet spell goes over at once; edges that wake the
// wait right after it are held until a display frame has passed and go over
// within 50 ms. An edge counted after the last
// reading, just before the wait began, wakes no wait; the periodic look still
// finds it, and an ask for the edges up to now hands it over at once, before
// its answer. Closing raises every edge that came before it.
TEST_F(LinuxService, TheWatcherHandsOverInTimeAnswersAnAskAndCountsWhatCameBeforeTheClose)
{
    auto& s = make();
    lines->onWait = [&] {  // ten edges wake the wait that follows the lone one
        LineCounts counts;
        if (lines->getCounts(-1, counts) == 0 && counts.cts == 1)
            lines->toggle(TIOCM_CTS, 10);
    };
    std::vector<Clock::time_point> events;  // arrival
    std::vector<std::size_t> answers;       // events by then
    s.OnComm = [&] { events.push_back(Clock::now()); };
    s.OnEdgesIn = [&](Clock::time_point) { answers.push_back(events.size()); };
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    ASSERT_TRUE(QTest::qWaitFor([&] { return lines->waitsBegun() >= 1; }));
    const auto lone = Clock::now();
    lines->toggle(TIOCM_CTS);
    ASSERT_TRUE(QTest::qWaitFor([&] { return events.size() >= 11; }));
    EXPECT_LE(events[0] - lone, 16ms);
    EXPECT_LE(events[10] - lone, 50ms) << "held edges waited";

    for (const bool ask : {false, true}) {
        std::this_thread::sleep_for(20ms);
        const std::size_t before = events.size();
        const auto late = Clock::now();
        lines->toggle(TIOCM_CTS, 1, false);
        EXPECT_TRUE(!ask || s.handOverEdges(late));
        EXPECT_TRUE(QTest::qWaitFor([&] { return events.size() == before + 1; })) << "the late edge went unseen";
        EXPECT_LE(Clock::now() - late, ask ? 20ms : 150ms);
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return !answers.empty(); }));
    EXPECT_EQ(answers, std::vector<std::size_t>{events.size()}) << "the answer came before the edge it covers";

    lines->toggle(TIOCM_CTS, 5);
    lines->toggle(TIOCM_CTS, 2, false);
    s.setPortOpen(false);
    EXPECT_EQ(events.size(), 11u + 2 + 7) << "edges that came before the close were dropped";
}

// The watcher's signal is a real-time one nobody else had claimed, and a
// stray one is harmless. Should a library take it over later with a handler
// that restarts the wait, closing still returns at the watcher's 2 s deadline
// (timed loosely): the watcher is given up and keeps a duplicate of the
// descriptor, so the close drops DTR and RTS itself (the kernel tier shows an
// open raising them). The port opens again at once and counts only edges made since.
TEST_F(LinuxService, ClosesAtTheDeadlineDroppingDtrAndRtsWhenTheStopSignalWasTakenOver)
{
    const int signal = stopSignal();
    ASSERT_TRUE(signal >= SIGRTMIN && signal <= SIGRTMAX) << signal;
    ::raise(signal);
    struct sigaction restarting {}, own {};
    restarting.sa_handler = [](int) {};
    restarting.sa_flags = SA_RESTART;
    const int free = firstFreeRealTimeSignal();
    ::sigaction(free, &restarting, &own);
    EXPECT_NE(firstFreeRealTimeSignal(), free) << "a claimed signal is passed over";
    ::sigaction(free, &own, nullptr);

    auto& s = make();
    s.setDTREnable(true);
    s.setRTSEnable(true);
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    ASSERT_TRUE(QTest::qWaitFor([&] { return lines->waitsBegun() >= 1; }));
    int bits = 0;
    ::sigaction(signal, &restarting, &own);
    const auto closing = Clock::now();
    s.setPortOpen(false);
    ::sigaction(signal, &own, nullptr);
    EXPECT_LT(Clock::now() - closing, 5s) << "the close outwaited the watcher's deadline";
    lines->getLines(-1, bits);
    EXPECT_EQ(bits & (TIOCM_DTR | TIOCM_RTS), 0) << "DTR or RTS left raised";
    lines->toggle(TIOCM_CTS, 3);  // the watcher given up ends with it, telling nothing
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    lines->toggle(TIOCM_CTS);
    EXPECT_TRUE(QTest::qWaitFor([&] { return codes == Codes{{comEvCTS, 1}}; })) << codes.size();
}

// Port faults: one whose device is gone or that has none is no such device,
// one the user may not open (only root can make one: real and effective ids
// become nobody's, the saved one stays root's to come back to) is no
// permission, one held by another (Qt's lock tells even root) is in use.
// Without modem lines there is nothing to watch, and a hang-up is noticed
// once all the same. No descriptor is left behind.
TEST_F(LinuxService, PortFaultsGoneNoPermissionInUseOrHungUpLeaveNoDescriptor)
{
    const auto descriptors = [] { return QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System).size(); };
    auto& s = make({false, false, false, false});
    LinuxSerialLineService other(port.tree.root(), std::make_unique<FakeLineControl>(FakeLineControl::Driver{}));
    const auto before = descriptors();
    port.tree.addDevice("ttyUSB1", port.tree.root() + "/gone");
    for (std::int16_t com : {2, 16}) {
        s.setCommPort(com);
        EXPECT_EQ(s.setPortOpen(true), Write::Rejected) << com;
        EXPECT_EQ(s.portInfo(com).lastFailure, PortFailure::NoSuchDevice) << com;
    }
    s.setCommPort(1);
    const passwd* nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
    if (nobody) {
        ASSERT_TRUE(QFile::setPermissions(port.pty.slavePath(), {}));
        const auto searchable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeOther;
        ASSERT_TRUE(QFile::setPermissions(port.tree.root(), searchable));
        ASSERT_EQ(::setresgid(nobody->pw_gid, nobody->pw_gid, 0), 0);
        const bool asNobody = ::setresuid(nobody->pw_uid, nobody->pw_uid, 0) == 0;
        s.setPortOpen(true);
        ASSERT_EQ(::setresuid(0, 0, 0) | ::setresgid(0, 0, 0), 0);
        ASSERT_TRUE(asNobody);
        EXPECT_EQ(s.portInfo(1).lastFailure, PortFailure::NoPermission);
    }
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    EXPECT_EQ(s.portInfo(1).lastFailure, PortFailure::None);
    EXPECT_EQ(s.lineCapability(), LineCapability::None);
    EXPECT_EQ(other.setPortOpen(true), Write::Rejected);
    EXPECT_EQ(other.portInfo(1).lastFailure, PortFailure::InUse);
    port.pty.hangUp();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !s.PortOpen(); }));
    QTest::qWait(300);  // a second report would come within it
    EXPECT_EQ(lost, 1);
    EXPECT_EQ(descriptors(), before - 1) << "the terminal's master side is closed too";
    if (!nobody)
        GTEST_SKIP() << "no permission untried: it needs root and the user nobody";
}

}  // namespace
