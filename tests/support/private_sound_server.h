#pragma once

// A sound server of the test's own: PulseAudio with one null sink, "clicks",
// in a private runtime folder, and a recorder of what that sink plays.

#include <QByteArray>
#include <QTemporaryDir>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// A child process whose standard output comes through a pipe; it gets SIGTERM
// when this goes or when the test dies, and is reaped.
class Child {
public:
    Child(std::vector<std::string> args, const std::vector<std::string>& environment = {})
    {
        std::vector<char*> argv, envp;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::vector<std::string> env(environment);
        for (char** e = environ; *e; ++e)
            env.emplace_back(*e);  // the first of a name wins
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("no pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::dup2(out[1], 1);
            ::execvpe(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(out[1]);
        output_ = out[0];
    }
    Child(const Child&) = delete;
    ~Child() { end(); }
    int output() const { return output_; }
    pid_t pid() const { return pid_; }
    // Ends the child; its exit status.
    int end()
    {
        int status = -1;
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, &status, 0);
            ::close(output_);
            pid_ = -1;
        }
        return status;
    }
    // Waits for the child to end by itself; all it wrote.
    std::string readAll()
    {
        std::string all;
        char block[4096];
        for (ssize_t n; (n = ::read(output_, block, sizeof block)) > 0;)
            all.append(block, static_cast<std::size_t>(n));
        end();
        return all;
    }

private:
    pid_t pid_ = -1;
    int output_ = -1;
};

class PrivateSoundServer {
public:
    static constexpr int kRate = 48000;

    PrivateSoundServer()
    {
        const std::string dir = dir_.path().toStdString();
        // -n: no default script, only the two modules; as root it runs as an
        // ordinary per-user server in the folder given, never system-wide.
        server_ = std::make_unique<Child>(
            std::vector<std::string>{"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                                     "--use-pid-file=no", "--disable-shm=yes", "--log-target=stderr", "--log-level=0",
                                     "-L", "module-null-sink sink_name=clicks rate=48000 channels=1", "-L",
                                     "module-native-protocol-unix auth-anonymous=1 socket=" + dir + "/native"},
            std::vector<std::string>{"HOME=" + dir, "XDG_RUNTIME_DIR=" + dir, "XDG_CONFIG_HOME=" + dir,
                                     "DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir + "/no-bus"});
        for (int tries = 0; !answers(dir + "/native"); ++tries) {
            if (tries == 200)
                throw std::runtime_error("the private sound server did not start");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    QByteArray address() const { return "unix:" + dir_.path().toLocal8Bit() + "/native"; }
    pid_t pid() const { return server_->pid(); }
    // How many streams play into the server now.
    int streams() const
    {
        Child list({"pactl", "--server=" + address().toStdString(), "list", "short", "sink-inputs"});
        const std::string text = list.readAll();
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }

private:
    static bool answers(const std::string& socketPath)
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return ok;
    }

    QTemporaryDir dir_;
    std::unique_ptr<Child> server_;
};

// Records the null sink's monitor with parec, mono 16 bit, and stamps each
// block with when it arrived, so a sample's time can be told from its place.
class SinkRecorder {
public:
    using Clock = std::chrono::steady_clock;

    explicit SinkRecorder(const PrivateSoundServer& server)
        : parec_({"parec", "--server=" + server.address().toStdString(), "--device=clicks.monitor", "--raw",
                  "--format=s16le", "--rate=48000", "--channels=1", "--latency-msec=10"}),
          reader_([this] {
              char block[960];
              for (ssize_t n; (n = ::read(parec_.output(), block, sizeof block)) > 0;) {
                  bytes_.append(block, static_cast<std::size_t>(n));
                  stamps_.push_back({bytes_.size() / 2, Clock::now()});
                  lastBlock_ = stamps_.back().second;
              }
          })
    {
    }
    ~SinkRecorder() { stop(); }

    // Waits until a block that left the server after `time` has come, which a
    // loaded machine may take long to start: parec needs a while.
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
            ::kill(parec_.pid(), SIGTERM);
            reader_.join();
            parec_.end();
        }
    }
    // Where each click begins: a sample far above the noise floor after at
    // least 20 ms below it. Only after stop().
    std::vector<std::size_t> clicks() const
    {
        std::vector<std::size_t> onsets;
        const auto* samples = reinterpret_cast<const std::int16_t*>(bytes_.data());
        std::size_t lastLoud = 0;
        for (std::size_t i = 0; i < bytes_.size() / 2; ++i) {
            if (std::abs(samples[i]) < 3000)
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

    // The share of the 10 ms stretches between two times in which the sink
    // sounded. Only after stop().
    double soundingShare(Clock::time_point from, Clock::time_point to) const
    {
        const auto* samples = reinterpret_cast<const std::int16_t*>(bytes_.data());
        const std::size_t stretch = PrivateSoundServer::kRate / 100;
        int stretches = 0, sounding = 0;
        for (std::size_t i = 0; i + stretch <= bytes_.size() / 2; i += stretch) {
            if (playedBy(i) < from || playedBy(i + stretch - 1) > to)
                continue;
            ++stretches;
            sounding += std::any_of(samples + i, samples + i + stretch, [](std::int16_t s) { return s != 0; });
        }
        return stretches ? static_cast<double>(sounding) / stretches : 0;
    }

private:
    Child parec_;
    std::string bytes_;
    std::vector<std::pair<std::size_t, Clock::time_point>> stamps_;
    std::atomic<Clock::time_point> lastBlock_{};
    std::thread reader_;
};
