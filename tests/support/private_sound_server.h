#pragma once

// A sound server of its own for the beep to play into, in a private runtime
// folder with a session bus of its own: PulseAudio with one null sink, at its
// defaults but for the arguments given, or PipeWire with its session manager
// and PulseAudio service, which play into a null sink where there is no sound
// card. PULSE_SERVER names it to every client from then on, and a client
// given a server never autospawns another.

#include <QtCore>
#include <qtestsupport_core.h>

#include <list>

struct PrivateSoundServer {
    // `sink`: the null sink's arguments, or "PipeWire".
    explicit PrivateSoundServer(const QString& sink = QStringLiteral("rate=48000 channels=1"))
    {
        const QString d = dir.path();
        const bool pipeWire = sink == QStringLiteral("PipeWire");
        socket = d + (pipeWire ? "/pulse/native" : "/native");
        // -n: only the two modules given. As root it runs as an ordinary server
        // in the folder given; should its owner die, it ends itself 20 s after
        // its last client. Each server is started once the one before has made
        // what it names last.
        const QList<QStringList> pulseAudio{{"pulseaudio", "-n", "--daemonize=no", "--log-level=0", "-L",
                                             "module-null-sink sink_name=clicks " + sink, "-L",
                                             "module-native-protocol-unix auth-anonymous=1 socket=" + socket, socket}};
        const QList<QStringList> pipeWireServers{
            {"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + d + "/bus", d + "/bus"},
            {"pipewire", d + "/pipewire-0"}, {"wireplumber", d}, {"pipewire-pulse", socket}};
        for (const QStringList& server : pipeWire ? pipeWireServers : pulseAudio) {
            QProcess& p = server.back() == socket ? process : helpers.emplace_back();
            p.setEnvironment({"HOME=" + d, "XDG_RUNTIME_DIR=" + d, "XDG_CONFIG_HOME=" + d,
                              "DBUS_SESSION_BUS_ADDRESS=unix:path=" + d + "/bus"});
            p.start(server.front(), server.mid(1, server.size() - 2));
            // Whoever uses it finds out soon enough whether it came up.
            (void)QTest::qWaitFor([&] { return QFileInfo::exists(server.back()); }, 20000);
        }
        qputenv("PULSE_SERVER", ("unix:" + socket).toLocal8Bit());
        // PipeWire's session manager makes its sink a moment after the service is up.
        (void)QTest::qWaitFor([] { return QProcess::execute("sh", {"-c", "pactl list short sinks | grep -q ."}) == 0; },
                              10000);
    }
    ~PrivateSoundServer()
    {
        process.terminate();
        process.waitForFinished();
        for (auto helper = helpers.rbegin(); helper != helpers.rend(); ++helper) {
            helper->terminate();
            helper->waitForFinished();
        }
    }
    bool up() const { return QFileInfo::exists(socket); }

    QTemporaryDir dir;
    QString socket;
    std::list<QProcess> helpers;  // for PipeWire: the session bus, PipeWire, its session manager
    QProcess process;             // the server the clients talk to
};
