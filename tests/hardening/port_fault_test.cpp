// Port faults through the real service and the real modem-line requests on
// pseudo-terminals the test makes: the device vanishing while open, a port
// held by another process, a port the user may not open. Each must end
// closed, with no descriptor left behind.
#include "line_control.h"
#include "linux_serial_line_service.h"
#include "port_fixtures.h"

#include <QProcess>
#include <QSerialPort>

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

using namespace std::chrono_literals;
using serial::LinuxSerialLineService;
using serial::PortFailure;
using serial::Write;

namespace {

std::unique_ptr<LinuxSerialLineService> serviceOver(const QString& root)
{
    return std::make_unique<LinuxSerialLineService>(root, serial::makeSystemLineControl());
}

// Descriptors this process holds now.
int openDescriptors()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System |
                                                                             QDir::NoDotAndDotDot).size()) - 1;
}

// Held by another process the port is in use; let go, it opens with nothing
// to watch, since a pseudo-terminal has no modem lines, and its hang-up is
// noticed all the same.
TEST(PortFault, HeldElsewhereItIsInUseFreedItOpensAndAHangUpClosesItOnce)
{
    PtyTree port;
    const int before = openDescriptors();
    auto service = serviceOver(port.tree.root());
    int lost = 0;
    service->OnPortLost = [&] { ++lost; };
    service->setDTREnable(true);  // refused by the terminal, which is used all the same

    QProcess holder;
    holder.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hold-port"), port.pty.slavePath()});
    ASSERT_TRUE(holder.waitForReadyRead(5000));
    ASSERT_EQ(holder.readLine().trimmed(), "held");
    const int whileHeld = openDescriptors();
    EXPECT_EQ(service->setPortOpen(true), Write::Rejected);
    EXPECT_EQ(service->portInfo(1).lastFailure, PortFailure::InUse);
    EXPECT_EQ(openDescriptors(), whileHeld);
    holder.closeWriteChannel();  // the holder lets go at end of input
    ASSERT_TRUE(holder.waitForFinished(5000));

    ASSERT_EQ(service->setPortOpen(true), Write::Accepted);
    EXPECT_EQ(service->portInfo(1).lastFailure, PortFailure::None);
    EXPECT_EQ(service->lineCapability(), serial::LineCapability::None);
    port.pty.hangUp();
    EXPECT_TRUE(waitFor([&] { return !service->PortOpen(); }, 3s)) << "the hang-up went unnoticed";
    waitFor([] { return false; }, 300ms);  // a second report would come by now
    EXPECT_EQ(lost, 1);
    EXPECT_EQ(openDescriptors(), before - 1);
    EXPECT_EQ(service->setPortOpen(false), Write::Accepted);  // closing what is gone is harmless
    service.reset();
    EXPECT_EQ(openDescriptors(), before - 1);
}

TEST(PortFault, PortWithoutPermissionStaysClosedForAnOrdinaryUser)
{
    if (::geteuid() != 0 || !::getpwnam("nobody"))
        GTEST_SKIP() << "needs root and the user nobody: only root can make a port that nobody may open";
    PtyTree port;
    ASSERT_EQ(::chmod(QFile::encodeName(port.pty.slavePath()).constData(), 0), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(port.tree.root()).constData(), 0755), 0);

    // The ordinary user is a child process, since root cannot be given back.
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--open-as-nobody"), port.tree.root()});
    ASSERT_TRUE(child.waitForFinished(10000));
    EXPECT_EQ(child.readAllStandardOutput().trimmed().toStdString(),
              "open=0 failure=" + std::to_string(static_cast<int>(PortFailure::NoPermission)) + " leaked=0")
        << child.readAllStandardError().toStdString();
}

// Child process: opens the port through Qt and holds it until its input ends.
int holdPort(const char* path)
{
    QSerialPort port(QString::fromLocal8Bit(path));
    if (!port.open(QIODevice::ReadWrite)) {
        std::printf("not held: %s\n", qPrintable(port.errorString()));
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}

// Child process: drops root for the user nobody, then tries the port.
int openAsNobody(const char* root)
{
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody || ::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) {
        std::printf("cannot become nobody: %s\n", std::strerror(errno));
        return 2;
    }
    const int before = openDescriptors();
    auto service = serviceOver(QString::fromLocal8Bit(root));
    service->setPortOpen(true);
    std::printf("open=%d failure=%d leaked=%d\n", service->PortOpen() ? 1 : 0,
                static_cast<int>(service->portInfo(1).lastFailure), openDescriptors() - before);
    return 0;
}

}  // namespace

// The same program also serves as the other process that holds a port, and as
// the ordinary user who may not open one.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--hold-port") == 0)
        return holdPort(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--open-as-nobody") == 0)
        return openAsNobody(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
