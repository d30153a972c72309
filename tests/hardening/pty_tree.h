#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

// A pseudo-terminal made by the test, standing behind COM 1 of a device tree
// in a temporary folder: dev/ttyUSB0 links to its terminal side. The test
// holds the other side and may close it to make the device vanish.
class PtyTree {
public:
    PtyTree()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            error_ = QStringLiteral("no pseudo-terminal");
            return;
        }
        terminal_ = QString::fromLocal8Bit(::ptsname(master_));
        if (!dir_.isValid() || !QDir(dir_.path()).mkpath(QStringLiteral("dev")) ||
            !QDir(dir_.path()).mkpath(QStringLiteral("sys/class/tty")) ||
            !QFile::link(terminal_, dir_.filePath(QStringLiteral("dev/ttyUSB0"))))
            error_ = QStringLiteral("no device tree in ") + dir_.path();
    }
    ~PtyTree() { closeOtherSide(); }
    PtyTree(const PtyTree&) = delete;
    PtyTree& operator=(const PtyTree&) = delete;

    bool ready() const { return error_.isEmpty(); }
    QString error() const { return error_; }
    QString root() const { return dir_.path(); }
    QString terminal() const { return terminal_; }

    // The device vanishes for whoever holds the terminal side: it is hung up.
    void closeOtherSide()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

private:
    QTemporaryDir dir_;
    int master_ = -1;
    QString terminal_;
    QString error_;
};

// Descriptors this process holds now.
inline int openDescriptors()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System |
                                                                             QDir::NoDotAndDotDot).size()) - 1;
}
