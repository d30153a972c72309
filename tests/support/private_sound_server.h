#pragma once

// A sound server of its own for the beep to play into: PulseAudio with one
// null sink, "clicks", in a private runtime folder, with no display or session
// bus to find. PULSE_SERVER names it to every client from then on, and a
// client given a server never autospawns another.

#include <QtCore>
#include <qtestsupport_core.h>

struct PrivateSoundServer {
    PrivateSoundServer()
    {
        const QString d = dir.path();
        process.setEnvironment({"HOME=" + d, "XDG_RUNTIME_DIR=" + d, "XDG_CONFIG_HOME=" + d,
                                "DBUS_SESSION_BUS_ADDRESS=unix:path=" + d + "/no-bus"});
        // -n: only the two modules given. As root it runs as an ordinary server
        // in the folder given; should its owner die, it ends itself 20 s after
        // its last client.
        process.start(QStringLiteral("pulseaudio"),
                      {"-n", "--daemonize=no", "--log-level=0",
                       "-L", "module-null-sink sink_name=clicks rate=48000 channels=1 norewinds=1",
                       "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + d + "/native"});
        // Whoever uses it finds out soon enough whether it came up.
        (void)QTest::qWaitFor([&] { return QFileInfo::exists(d + "/native"); }, 20000);
        qputenv("PULSE_SERVER", ("unix:" + d + "/native").toLocal8Bit());
    }
    ~PrivateSoundServer()
    {
        process.terminate();
        process.waitForFinished();
    }

    QTemporaryDir dir;
    QProcess process;
};
