// Port faults through the real service on pseudo-terminals the test makes:
// the device vanishing while open, a port held by another process, a port the
// user may not open. Each must end closed, with no descriptor left behind.
#include "line_control.h"
#include "linux_serial_line_service.h"
#include "pty_tree.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QSerialPort>

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

using serial::LinuxSerialLineService;
using serial::PortFailure;
using serial::Write;

namespace {

std::unique_ptr<LinuxSerialLineService> serviceOver(const PtyTree& tree)
{
    return std::make_unique<LinuxSerialLineService>(tree.root(), serial::makeSystemLineControl());
}

// Runs the event loop until `done` or the time is up.
template <typename Done>
bool spinUntil(Done done, int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

TEST(PortFault, VanishingWhileOpenClosesTheServiceAndSaysSoOnce)
{
    auto tree = std::make_unique<PtyTree>();
    ASSERT_TRUE(tree->ready()) << tree->error().toStdString();
    const int withOtherSide = openDescriptors();
    auto service = serviceOver(*tree);
    int lost = 0;
    service->OnPortLost = [&] { ++lost; };

    ASSERT_EQ(service->setPortOpen(true), Write::Accepted);
    ASSERT_TRUE(service->PortOpen());
    tree->closeOtherSide();

    EXPECT_TRUE(spinUntil([&] { return !service->PortOpen(); }, 3000)) << "the hang-up went unnoticed";
    spinUntil([] { return false; }, 300);  // a second report would come by now
    EXPECT_EQ(lost, 1);
    EXPECT_EQ(service->lineCapability(), serial::LineCapability::None);
    EXPECT_EQ(openDescriptors(), withOtherSide - 1);

    // Closing what is already gone is harmless.
    EXPECT_EQ(service->setPortOpen(false), Write::Accepted);
    service.reset();
    EXPECT_EQ(openDescriptors(), withOtherSide - 1);
}

TEST(PortFault, PortHeldByAnotherProcessIsInUseAndFreeOnceItLetsGo)
{
    PtyTree tree;
    ASSERT_TRUE(tree.ready()) << tree.error().toStdString();
    auto service = serviceOver(tree);
    const int beforeHolder = openDescriptors();

    QProcess holder;
    holder.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hold-port"), tree.terminal()});
    ASSERT_TRUE(holder.waitForStarted(5000));
    ASSERT_TRUE(holder.waitForReadyRead(5000));
    ASSERT_EQ(holder.readLine().trimmed(), "held");

    const int whileHeld = openDescriptors();
    EXPECT_EQ(service->setPortOpen(true), Write::Rejected);
    EXPECT_FALSE(service->PortOpen());
    EXPECT_EQ(service->portInfo(1).lastFailure, PortFailure::InUse);
    EXPECT_EQ(openDescriptors(), whileHeld);

    holder.closeWriteChannel();  // the holder lets go at end of input
    ASSERT_TRUE(holder.waitForFinished(5000));
    EXPECT_EQ(service->setPortOpen(true), Write::Accepted);
    EXPECT_EQ(service->portInfo(1).lastFailure, PortFailure::None);
    service->setPortOpen(false);
    EXPECT_FALSE(service->PortOpen());
    EXPECT_EQ(openDescriptors(), beforeHolder);
}

TEST(PortFault, PortWithoutPermissionStaysClosedForAnOrdinaryUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to hand the port to an ordinary user; as one, no mode-000 node can be made";
    if (!::getpwnam("nobody"))
        GTEST_SKIP() << "no user 'nobody' to open the port as";

    PtyTree tree;
    ASSERT_TRUE(tree.ready()) << tree.error().toStdString();
    ASSERT_EQ(::chmod(QFile::encodeName(tree.terminal()).constData(), 0), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(tree.root()).constData(), 0755), 0);

    // The ordinary user is a child process, since root cannot be given back.
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--open-as-nobody"), tree.root()});
    ASSERT_TRUE(child.waitForFinished(10000));
    const QByteArray answer = child.readAllStandardOutput().trimmed();
    ASSERT_EQ(child.exitCode(), 0) << answer.toStdString() << child.readAllStandardError().toStdString();
    EXPECT_EQ(answer, "open=0 failure=NoPermission leaked=0");
}

// Child process: opens the port through Qt and holds it until its input ends.
int holdPort(const char* path)
{
    int argc = 1;
    char name[] = "holder";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
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
    int argc = 1;
    char name[] = "nobody";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    const int before = openDescriptors();
    LinuxSerialLineService service(QString::fromLocal8Bit(root), serial::makeSystemLineControl());
    service.setPortOpen(true);
    const PortFailure failure = service.portInfo(1).lastFailure;
    const char* failureName = failure == PortFailure::NoPermission ? "NoPermission"
                              : failure == PortFailure::InUse      ? "InUse"
                              : failure == PortFailure::None       ? "None"
                                                                   : "other";
    std::printf("open=%d failure=%s leaked=%d\n", service.PortOpen() ? 1 : 0, failureName,
                openDescriptors() - before);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--hold-port") == 0)
        return holdPort(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--open-as-nobody") == 0)
        return openAsNobody(argv[2]);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
