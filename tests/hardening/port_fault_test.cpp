// Port faults through the real service and the real modem-line requests on
// pseudo-terminals: a port held by another, one whose device is gone, one the
// user may not open, a hang-up. Each ends closed, with no descriptor left behind.
#include "linux_serial_line_service.h"
#include "port_fixtures.h"

#include <QSerialPort>

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>

using namespace std::chrono_literals;
using serial::PortFailure;
using serial::Write;

namespace {

// Held by another (Qt's lock tells even root) the port is in use; let go, it
// opens with nothing to watch, a pseudo-terminal having no modem lines, and
// its hang-up is noticed once all the same.
TEST(PortFault, InUseGoneOrHungUpEachEndsClosedWithNoDescriptorLeft)
{
    const auto descriptors = [] { return QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System).size(); };
    const auto before = descriptors();
    {
        PtyTree port;
        serial::LinuxSerialLineService service(port.tree.root(), serial::makeSystemLineControl());
        int lost = 0;
        service.OnPortLost = [&] { ++lost; };
        service.setDTREnable(true);  // refused by the terminal, which is used all the same
        port.tree.addDevice("ttyUSB1", port.tree.root() + "/gone");
        for (std::int16_t com : {2, 16, 1}) {
            QSerialPort holder(port.pty.slavePath());
            ASSERT_TRUE(service.setCommPort(com) == Write::Accepted && holder.open(QIODevice::ReadWrite));
            EXPECT_EQ(service.setPortOpen(true), Write::Rejected) << com;
            EXPECT_EQ(service.portInfo(com).lastFailure, com == 1 ? PortFailure::InUse : PortFailure::NoSuchDevice);
        }
        ASSERT_EQ(service.setPortOpen(true), Write::Accepted);
        EXPECT_EQ(service.portInfo(1).lastFailure, PortFailure::None);
        EXPECT_EQ(service.lineCapability(), serial::LineCapability::None);
        port.pty.hangUp();
        EXPECT_TRUE(waitFor([&] { return !service.PortOpen(); })) << "the hang-up went unnoticed";
        waitFor([] { return false; }, 300ms);  // a second report would come by now
        EXPECT_EQ(lost, 1);
        EXPECT_EQ(descriptors(), before);  // the terminal's master side is closed too
    }
    EXPECT_EQ(descriptors(), before);
}

// Only root can make a port that an ordinary user may not open; real and
// effective ids become nobody's, the saved one stays root to come back to.
TEST(PortFault, APortTheUserMayNotOpenIsNoPermission)
{
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root and the user nobody";
    PtyTree port;
    ASSERT_EQ(::chmod(QFile::encodeName(port.pty.slavePath()).constData(), 0), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(port.tree.root()).constData(), 0755), 0);
    serial::LinuxSerialLineService service(port.tree.root(), serial::makeSystemLineControl());
    ASSERT_EQ(::setresgid(nobody->pw_gid, nobody->pw_gid, 0), 0);
    const bool asNobody = ::setresuid(nobody->pw_uid, nobody->pw_uid, 0) == 0;
    const Write opened = service.setPortOpen(true);
    ASSERT_EQ(::setresuid(0, 0, 0) | ::setresgid(0, 0, 0), 0);
    ASSERT_TRUE(asNobody);
    EXPECT_EQ(opened, Write::Rejected);
    EXPECT_EQ(service.portInfo(1).lastFailure, PortFailure::NoPermission);
}

}  // namespace
