#include "fake_line_control.h"
#include "line_watcher.h"
#include "linux_serial_line_service.h"
#include "port_fixtures.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <vector>

using namespace std::chrono_literals;
using serial::LineCapability;
using serial::PortFailure;
using serial::Write;
using Driver = FakeLineControl::Driver;

namespace {

const Driver kUart{};                                          // 8250: counters and wake-ups
const Driver kPl2303{true, false, false, true, true, ENOTTY};  // wake-ups, no counters
const Driver kCp210x{true, true, false, false, true, ENOTTY};  // counters that never move, no wake-ups
const Driver kOldCp210x{true, true, false, false, true, EINVAL};
const Driver kNoLines{false, false, false, false, false, ENOTTY};

struct Event {
    std::int16_t code;
    serial::EdgeTime at;
};

// A service over a fake tree whose COM 1 is a pseudo-terminal, its modem lines
// from the fake layer; OnComm and OnPortLost are recorded.
class LinuxService : public ::testing::Test {
protected:
    void SetUp() override { tree.addDevice(QStringLiteral("ttyUSB0"), pty.slavePath()); }

    serial::LinuxSerialLineService& make(const Driver& driver)
    {
        auto fake = std::make_unique<FakeLineControl>(driver);
        lines = fake.get();
        service = std::make_unique<serial::LinuxSerialLineService>(tree.root(), std::move(fake));
        watch(*service);
        return *service;
    }

    void watch(serial::SerialLineService& s)
    {
        s.OnComm = [this, &s] { events.push_back({s.CommEvent(), s.CommEventTime()}); };
        s.OnPortLost = [this] { ++lost; };
    }

    std::map<std::int16_t, int> perCode() const
    {
        std::map<std::int16_t, int> out;
        for (const Event& e : events)
            ++out[e.code];
        return out;
    }

    // Events settle: the expected number arrives, and no more come after it.
    bool receive(std::size_t expected)
    {
        const bool arrived = waitFor([&] { return events.size() >= expected; });
        waitFor([] { return false; }, 30ms);
        return arrived && events.size() == expected;
    }

    bool blocked(int waits = 1)
    {
        return waitFor([&] { return lines->waitsBegun() >= waits; });
    }

    Pty pty;
    FakeTree tree;
    FakeLineControl* lines = nullptr;
    std::unique_ptr<serial::LinuxSerialLineService> service;
    std::vector<Event> events;
    int lost = 0;
};

TEST_F(LinuxService, OpensChangesAndClosesAPseudoTerminal)
{
    auto& s = make(kUart);
    EXPECT_EQ(s.setPortOpen(false), Write::Accepted);  // closed: nothing to do
    ASSERT_EQ(s.setSettings(QStringLiteral("19200,e,7,2")), Write::Accepted);
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    EXPECT_TRUE(s.PortOpen());
    EXPECT_EQ(s.portInfo(1).lastFailure, PortFailure::None);
    EXPECT_EQ(s.portInfo(1).device, QStringLiteral("/dev/ttyUSB0"));

    EXPECT_EQ(s.setPortOpen(true), Write::Accepted);  // open: stays as it is
    EXPECT_TRUE(s.PortOpen());
    EXPECT_EQ(s.setCommPort(2), Write::Rejected);
    EXPECT_EQ(s.CommPort(), 1);
    EXPECT_EQ(s.setSettings(QStringLiteral("4800,o,8,1")), Write::Accepted);
    EXPECT_EQ(s.setSettings(QStringLiteral("4800,q,8,1")), Write::Rejected);
    EXPECT_EQ(s.Settings(), QStringLiteral("4800,o,8,1"));

    EXPECT_EQ(s.setPortOpen(false), Write::Accepted);
    EXPECT_FALSE(s.PortOpen());
    EXPECT_EQ(s.lineCapability(), LineCapability::None);
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);  // reopen
    EXPECT_TRUE(s.PortOpen());
    EXPECT_EQ(lost, 0);
}

TEST_F(LinuxService, ASecondOpenOfABusyPortFailsAsInUse)
{
    auto& first = make(kUart);
    ASSERT_EQ(first.setPortOpen(true), Write::Accepted);

    auto other = std::make_unique<serial::LinuxSerialLineService>(tree.root(),
                                                                  std::make_unique<FakeLineControl>(kUart));
    EXPECT_EQ(other->setPortOpen(true), Write::Rejected);
    EXPECT_FALSE(other->PortOpen());
    EXPECT_EQ(other->portInfo(1).lastFailure, PortFailure::InUse);

    // Releasing the service closes its port, and the lock goes with it.
    {
        Watchdog bound(10s);
        service.reset();
    }
    EXPECT_EQ(other->setPortOpen(true), Write::Accepted);
    EXPECT_EQ(other->portInfo(1).lastFailure, PortFailure::None);
}

TEST_F(LinuxService, ANumberWithoutADeviceFailsAsNoSuchDevice)
{
    tree.addDevice(QStringLiteral("ttyUSB1"), tree.root() + QStringLiteral("/gone"));
    auto& s = make(kUart);
    for (std::int16_t port : {2, 3, 16}) {
        SCOPED_TRACE(port);
        ASSERT_EQ(s.setCommPort(port), Write::Accepted);
        EXPECT_EQ(s.setPortOpen(true), Write::Rejected);
        EXPECT_FALSE(s.PortOpen());
        EXPECT_EQ(s.portInfo(port).lastFailure, PortFailure::NoSuchDevice);
    }
    EXPECT_EQ(s.portInfo(1).lastFailure, PortFailure::None);  // never tried
}

TEST_F(LinuxService, BytesOnTheReceiveLineAreReadAndDropped)
{
    auto& s = make(kUart);
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    ::fcntl(pty.master(), F_SETFL, O_NONBLOCK);
    // Far more than the terminal's buffer: it only all goes in if it is read.
    const std::vector<char> chunk(4096, 'x');
    std::size_t written = 0;
    EXPECT_TRUE(waitFor([&] {
        const auto n = ::write(pty.master(), chunk.data(), chunk.size());
        if (n > 0)
            written += static_cast<std::size_t>(n);
        return written >= 4U << 20;
    }, 20s));
    EXPECT_TRUE(s.PortOpen());
    EXPECT_TRUE(events.empty());
}

TEST_F(LinuxService, DtrAndRtsFollowTheChoiceWhileOpen)
{
    struct Row {
        bool dtr, rts;
        QStringList writes;
    };
    const Row table[] = {
        {true, true, {QStringLiteral("DTR+"), QStringLiteral("RTS+")}},
        {true, false, {QStringLiteral("DTR+"), QStringLiteral("RTS-")}},
        {false, true, {QStringLiteral("DTR-"), QStringLiteral("RTS+")}},
        {false, false, {QStringLiteral("DTR-"), QStringLiteral("RTS-")}},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.writes.join(QLatin1Char(' ')).toStdString());
        auto& s = make(kUart);
        s.setDTREnable(row.dtr);
        s.setRTSEnable(row.rts);
        EXPECT_TRUE(lines->controlWrites().isEmpty());  // nothing while closed
        ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
        EXPECT_EQ(lines->controlWrites(), row.writes);
        EXPECT_EQ(s.DTREnable(), row.dtr);
        EXPECT_EQ(s.RTSEnable(), row.rts);
        s.setDTREnable(!row.dtr);
        EXPECT_EQ(lines->controlWrites().last(), row.dtr ? QStringLiteral("DTR-") : QStringLiteral("DTR+"));
        service.reset();
    }
}

// A pseudo-terminal has no modem lines at all: it opens, reports nothing, and
// its hang-up is still noticed.
TEST_F(LinuxService, ThePseudoTerminalThroughTheRealRequests)
{
    service = std::make_unique<serial::LinuxSerialLineService>(tree.root(), serial::makeSystemLineControl());
    watch(*service);
    service->setDTREnable(true);
    ASSERT_EQ(service->setPortOpen(true), Write::Accepted);
    EXPECT_EQ(service->lineCapability(), LineCapability::None);

    pty.hangUp();
    EXPECT_TRUE(waitFor([&] { return lost > 0; }));
    EXPECT_FALSE(service->PortOpen());
    waitFor([] { return false; }, 250ms);
    EXPECT_EQ(lost, 1);
}

TEST_F(LinuxService, CounterJumpsOnSeveralLinesGiveOneEventPerEdge)
{
    auto& s = make(kUart);
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    EXPECT_EQ(s.lineCapability(), LineCapability::Counters);
    ASSERT_TRUE(blocked());
    lines->toggle(TIOCM_CTS, 3);
    lines->toggle(TIOCM_DSR, 2);
    lines->toggle(TIOCM_CD, 1);
    lines->toggle(TIOCM_RNG, 4);
    lines->toggle(TIOCM_CTS, 1000);
    ASSERT_TRUE(receive(1010));
    EXPECT_EQ(perCode(), (std::map<std::int16_t, int>{{3, 1003}, {4, 2}, {5, 1}, {6, 4}}));
}

// 8250 UARTs count RI on its trailing edge only: one count is a whole pulse.
TEST_F(LinuxService, RingCountsOfOnBoardUartsStandForBothEdges)
{
    FakeTree uartTree;
    uartTree.addUart(QStringLiteral("ttyS4"), 4, false, pty.slavePath());
    auto fake = std::make_unique<FakeLineControl>(kUart);
    lines = fake.get();
    service = std::make_unique<serial::LinuxSerialLineService>(uartTree.root(), std::move(fake));
    watch(*service);
    ASSERT_EQ(service->setPortOpen(true), Write::Accepted);
    ASSERT_TRUE(blocked());
    lines->toggle(TIOCM_RNG, 3);
    lines->toggle(TIOCM_CTS, 3);
    ASSERT_TRUE(receive(9));
    EXPECT_EQ(perCode(), (std::map<std::int16_t, int>{{3, 3}, {6, 6}}));
}

TEST_F(LinuxService, EdgesCountedBeforeTheOpenAreNotReported)
{
    auto& s = make(kUart);
    lines->presetCounts({41, 7, 3, 12});
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    ASSERT_TRUE(blocked());
    lines->toggle(TIOCM_DSR, 2);
    ASSERT_TRUE(receive(2));
    EXPECT_EQ(perCode(), (std::map<std::int16_t, int>{{4, 2}}));
}

// Without counters, each wake-up or poll compares line snapshots: a single
// change is seen, edges that cancel out between two looks are not.
TEST_F(LinuxService, DriversWithoutCountersOrWakeUpsFallBack)
{
    struct Row {
        const char* name;
        Driver driver;
        LineCapability capability;
    };
    const Row table[] = {
        {"pl2303", kPl2303, LineCapability::WakeUpsOnly},
        {"cp210x", kCp210x, LineCapability::PollingOnly},
        {"cp210x, older kernel", kOldCp210x, LineCapability::PollingOnly},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.name);
        events.clear();
        auto& s = make(row.driver);
        ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
        EXPECT_TRUE(waitFor([&] { return s.lineCapability() == row.capability; }));
        for (int bit : {TIOCM_CTS, TIOCM_CD, TIOCM_CTS, TIOCM_RNG}) {
            const std::size_t before = events.size();
            lines->toggle(bit);
            ASSERT_TRUE(waitFor([&] { return events.size() > before; }));
        }
        ASSERT_TRUE(receive(4));
        EXPECT_EQ(perCode(), (std::map<std::int16_t, int>{{3, 2}, {5, 1}, {6, 1}}));
        service.reset();
    }
}

TEST_F(LinuxService, ADeviceWithoutModemLinesOpensAndStaysSilent)
{
    auto& s = make(kNoLines);
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    EXPECT_EQ(s.lineCapability(), LineCapability::None);
    lines->toggle(TIOCM_CTS, 5);
    EXPECT_TRUE(receive(0));
    EXPECT_EQ(s.setPortOpen(false), Write::Accepted);
}

TEST_F(LinuxService, EachEventCarriesItsCodeAndTimeOnlyWhileHandled)
{
    auto& s = make(kUart);
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    ASSERT_TRUE(blocked());
    const auto before = std::chrono::steady_clock::now();
    const double dayBefore = serial::edgeTimeNow().timeOfDay;
    lines->toggle(TIOCM_CD);
    ASSERT_TRUE(receive(1));
    EXPECT_EQ(events[0].code, serial::comEvCD);
    EXPECT_GE(events[0].at.monotonic, before);
    EXPECT_LE(events[0].at.monotonic, std::chrono::steady_clock::now());
    EXPECT_GE(events[0].at.timeOfDay, 0.0);
    EXPECT_LT(events[0].at.timeOfDay, 86400.0);
    // Around midnight the day wraps; otherwise the two readings lie close together.
    if (dayBefore < 86390) {
        EXPECT_NEAR(events[0].at.timeOfDay, dayBefore, 5.0);
    }
    EXPECT_EQ(s.CommEvent(), 0);
}

TEST_F(LinuxService, ClosingReturnsWhileTheWatcherIsBlocked)
{
    auto& s = make(kUart);
    for (int round = 1; round <= 3; ++round) {
        ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
        ASSERT_TRUE(blocked(round));
        Watchdog bound(10s);
        EXPECT_EQ(s.setPortOpen(false), Write::Accepted);
        EXPECT_FALSE(s.PortOpen());
    }
}

// Edges already handed over but not yet delivered belong to the closed port.
TEST_F(LinuxService, EventsQueuedWhenThePortClosesAreDropped)
{
    auto& s = make(kUart);
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    ASSERT_TRUE(blocked());
    lines->toggle(TIOCM_CTS, 5);
    // The watcher waits again once it has posted; no events run meanwhile.
    for (int i = 0; i < 5000 && lines->waitsBegun() < 2; ++i)
        QThread::usleep(200);
    ASSERT_GE(lines->waitsBegun(), 2);
    s.setPortOpen(false);
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);  // a new port: the old edges are not its own
    EXPECT_TRUE(receive(0));
    ASSERT_TRUE(blocked(3));
    lines->toggle(TIOCM_CTS, 2);
    EXPECT_TRUE(receive(2));
}

TEST_F(LinuxService, AChangeOfSettingsWhileOpenStartsTheWaitAfresh)
{
    auto& s = make(kUart);
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    ASSERT_TRUE(blocked(1));
    ASSERT_EQ(s.setSettings(QStringLiteral("2400,n,8,1")), Write::Accepted);
    EXPECT_TRUE(blocked(2));
    lines->toggle(TIOCM_DSR);
    EXPECT_TRUE(receive(1));
}

TEST_F(LinuxService, AVanishedDeviceIsClosedAndReportedOnce)
{
    struct Row {
        const char* name;
        Driver driver;
        int error;
    };
    const Row table[] = {
        {"usb-serial unplugged", kUart, EIO},
        {"cdc-acm unplugged", kPl2303, ENODEV},
        {"polled adapter unplugged", kCp210x, EIO},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.name);
        lost = 0;
        events.clear();
        auto& s = make(row.driver);
        ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
        waitFor([] { return false; }, 20ms);
        lines->unplug(row.error);
        EXPECT_TRUE(waitFor([&] { return lost > 0; }));
        EXPECT_FALSE(s.PortOpen());
        EXPECT_EQ(s.lineCapability(), LineCapability::None);
        waitFor([] { return false; }, 250ms);
        EXPECT_EQ(lost, 1);
        EXPECT_TRUE(events.empty());
        service.reset();
    }
}

TEST_F(LinuxService, AHungUpDescriptorIsClosedAndReportedOnce)
{
    auto& s = make(kUart);
    ASSERT_EQ(s.setPortOpen(true), Write::Accepted);
    ASSERT_TRUE(blocked());
    pty.hangUp();
    EXPECT_TRUE(waitFor([&] { return lost > 0; }));
    EXPECT_FALSE(s.PortOpen());
    waitFor([] { return false; }, 250ms);
    EXPECT_EQ(lost, 1);
}

}  // namespace
