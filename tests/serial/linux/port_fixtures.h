#pragma once

#include <QDir>
#include <QTemporaryDir>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>

// A pseudo-terminal made for the test: the service opens its slave side
// through a fake tree; closing the master hangs the slave up.
struct Pty {
    Pty() { if (::unlockpt(master) != 0) throw std::runtime_error("no pseudo-terminal"); }
    ~Pty() { hangUp(); }
    QString slavePath() const { return QString::fromLocal8Bit(::ptsname(master)); }
    void hangUp() { ::close(std::exchange(master, -1)); }
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
};

// A dev/ and sys/ tree in a temporary folder, as the device map reads it.
struct FakeTree {
    FakeTree() { QDir(root()).mkpath(QStringLiteral("dev/serial/by-id")); }
    QString root() const { return dir.path(); }
    // dev/<name>: a link to `target` or, when empty, a plain file; each
    // "attribute=value" goes to sys/class/tty/<name>/attribute. A stable name
    // is a link "serial/by-id/<link>" to "../../<name>".
    void addDevice(const QString& name, const QString& target = {}, const QStringList& attributes = {})
    {
        const QString path = root() + "/dev/" + name;
        const QString sys = root() + "/sys/class/tty/" + name + '/';
        if (!QFile::link(target, path))  // no target
            QFile(path).open(QIODevice::WriteOnly);
        for (const QString& attribute : attributes) {
            QFile file(sys + attribute.section('=', 0, 0));
            if (QDir().mkpath(sys) && file.open(QIODevice::WriteOnly))
                file.write(attribute.section('=', 1).toLatin1() + '\n');
        }
    }
    QTemporaryDir dir;
};

// COM 1 of its tree is the pseudo-terminal, as a USB adapter.
struct PtyTree {
    PtyTree() { tree.addDevice(QStringLiteral("ttyUSB0"), pty.slavePath()); }
    Pty pty;
    FakeTree tree;
};
