#pragma once

// A sound server of the test's own: PulseAudio with one null sink, "clicks",
// in a private runtime folder, and a recorder of what that sink plays.

#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class PrivateSoundServer {
public:
    static constexpr int kRate = 48000;

    PrivateSoundServer()
    {
        const QString dir = dir_.path();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"})
            env.insert(QString::fromLatin1(name), dir);
        // No display and no session bus: nothing for it to find or to start.
        env.remove(QStringLiteral("DISPLAY"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=") + dir + "/no-bus");
        server_.setProcessEnvironment(env);
        server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // -n: only the two modules given. As root it runs as an ordinary
        // per-user server in the folder given; a test that dies leaves it to
        // end itself 30 s after its last client.
        server_.start(QStringLiteral("pulseaudio"),
                      {"-n", "--daemonize=no", "--exit-idle-time=30", "--use-pid-file=no", "--disable-shm=yes",
                       "--log-target=stderr", "--log-level=0", "-L", "module-null-sink sink_name=clicks rate=48000 channels=1 norewinds=1",
                       "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + dir + "/native"});
        for (int tries = 0; pactl({"info"}).isEmpty(); ++tries) {
            if (tries == 200 || server_.state() == QProcess::NotRunning)
                throw std::runtime_error("the private sound server did not start");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~PrivateSoundServer()
    {
        server_.terminate();
        server_.waitForFinished();
    }
    QByteArray address() const { return "unix:" + dir_.path().toLocal8Bit() + "/native"; }
    pid_t pid() const { return static_cast<pid_t>(server_.processId()); }
    // How many streams play into the server now.
    int streams() const { return static_cast<int>(pactl({"list", "short", "sink-inputs"}).count('\n')); }

private:
    QByteArray pactl(QStringList args) const
    {
        QProcess pactl;
        pactl.start(QStringLiteral("pactl"), QStringList{"--server=" + QString::fromLocal8Bit(address())} + args);
        pactl.waitForFinished();
        return pactl.exitCode() == 0 ? pactl.readAllStandardOutput() : QByteArray();
    }

    QTemporaryDir dir_;
    QProcess server_;
};

// Records the null sink's monitor with parec, mono 16 bit, on a thread of its
// own that stamps each block with when it arrived, so a sample's time can be
// told from its place.
class SinkRecorder {
public:
    using Clock = std::chrono::steady_clock;

    explicit SinkRecorder(const PrivateSoundServer& server)
    {
        int out[2];
        posix_spawn_file_actions_t actions;
        if (::pipe2(out, O_CLOEXEC) != 0 || posix_spawn_file_actions_init(&actions) != 0)
            throw std::runtime_error("no pipe for parec");
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::string serverArg = "--server=" + server.address().toStdString();
        std::vector<std::string> args{"parec", serverArg, "--device=clicks.monitor", "--raw", "--format=s16le",
                                      "--rate=48000", "--channels=1", "--latency-msec=10"};
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int spawned = posix_spawnp(&parec_, "parec", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (spawned != 0)
            throw std::runtime_error("parec did not start");
        reader_ = std::thread([this, in = out[0]] {
            char block[960];
            for (ssize_t n; (n = ::read(in, block, sizeof block)) > 0;) {
                bytes_.append(block, static_cast<std::size_t>(n));
                stamps_.push_back({bytes_.size() / 2, Clock::now()});
                lastBlock_ = stamps_.back().second;
            }
            ::close(in);
        });
    }
    ~SinkRecorder() { stop(); }

    // Waits until a block that left the server after `time` has come; a
    // loaded machine may take a second to start parec.
    bool heardAfter(Clock::time_point time) const
    {
        for (const auto giveUp = Clock::now() + std::chrono::seconds(20); lastBlock_.load() <= time;) {
            if (Clock::now() > giveUp)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    void stop()
    {
        if (reader_.joinable()) {
            ::kill(parec_, SIGTERM);
            reader_.join();
            ::waitpid(parec_, nullptr, 0);
        }
    }
    // Only after stop().
    const std::int16_t* samples() const { return reinterpret_cast<const std::int16_t*>(bytes_.data()); }
    std::size_t size() const { return bytes_.size() / 2; }
    // Where each click begins: a sample far above the noise floor after at
    // least 20 ms below it.
    std::vector<std::size_t> clicks() const
    {
        std::vector<std::size_t> onsets;
        for (std::size_t i = 0, lastLoud = 0; i < size(); ++i) {
            if (std::abs(samples()[i]) < 3000)
                continue;
            if (onsets.empty() || i - lastLoud >= PrivateSoundServer::kRate / 50)
                onsets.push_back(i);
            lastLoud = i;
        }
        return onsets;
    }
    // The latest time at which sample `i` can have been played: when it reached
    // the recorder, less the samples that came after it in the same block.
    Clock::time_point playedBy(std::size_t i) const
    {
        for (const auto& [end, at] : stamps_)
            if (end > i)
                return at - std::chrono::microseconds((end - i) * 1000000 / PrivateSoundServer::kRate);
        return Clock::time_point::max();
    }

private:
    pid_t parec_ = -1;
    std::string bytes_;
    std::vector<std::pair<std::size_t, Clock::time_point>> stamps_;
    std::atomic<Clock::time_point> lastBlock_{};
    std::thread reader_;
};
