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
        socket = d + (sink == "PipeWire" ? "/pulse/native" : "/native");
        // Each server with what it makes once it is up. -n: only the two
        // modules given. As root it runs as an ordinary server in the folder
        // given; should its owner die, it ends itself 20 s after its last client.
        const QList<QStringList> servers = sink == "PipeWire"
            ? QList<QStringList>{{"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + d + "/bus", d + "/bus"},
                                 {"pipewire", d + "/pipewire-0"}, {"wireplumber", d}, {"pipewire-pulse", socket}}
            : QList<QStringList>{{"pulseaudio", "-n", "--daemonize=no", "--log-level=0", "-L",
                                  "module-null-sink sink_name=clicks " + sink, "-L",
                                  "module-native-protocol-unix auth-anonymous=1 socket=" + socket, socket}};
        qputenv("PULSE_SERVER", ("unix:" + socket).toLocal8Bit());
        for (const QStringList& server : servers) {
            QProcess& p = processes.emplace_back();
            p.setEnvironment({"HOME=" + d, "XDG_RUNTIME_DIR=" + d, "XDG_CONFIG_HOME=" + d,
                              "DBUS_SESSION_BUS_ADDRESS=unix:path=" + d + "/bus"});
            p.start(server.front(), server.mid(1, server.size() - 2));
            // Whoever uses it finds out soon enough whether it came up.
            if (!p.waitForStarted() || !QTest::qWaitFor([&] { return QFileInfo::exists(server.back()); }, 20000))
                return;
        }
        // PipeWire's session manager makes its sink a moment after the service is up.
        (void)QTest::qWaitFor([] { return QProcess::execute("sh", {"-c", "pactl list short sinks | grep -q ."}) == 0; });
    }
    ~PrivateSoundServer()
    {
        for (auto p = processes.rbegin(); p != processes.rend(); ++p) {
            p->terminate();
            p->waitForFinished();
        }
    }
    QProcess& process() { return processes.back(); }  // the server the clients talk to

    QTemporaryDir dir;
    QString socket;  // there once the server is up
    std::list<QProcess> processes;  // for PipeWire the session bus, PipeWire and its session manager first
};
