#pragma once

// Records the private sound server's sink as it sounds.

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

// Records the null sink's monitor with parec, mono 16 bit, on a thread of its
// own that stamps each block with when it arrived, so a sample's time can be
// told from its place.
class SinkRecorder {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int kRate = 48000;

    // The server is the one PULSE_SERVER names.
    SinkRecorder()
    {
        int out[2];
        posix_spawn_file_actions_t actions;
        if (::pipe2(out, O_CLOEXEC) != 0 || posix_spawn_file_actions_init(&actions) != 0)
            throw std::runtime_error("no pipe for parec");
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> args{"parec", "--device=@DEFAULT_MONITOR@", "--raw", "--format=s16le",
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
            if (onsets.empty() || i - lastLoud >= kRate / 50)
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
                return at - std::chrono::microseconds((end - i) * 1000000 / kRate);
        return Clock::time_point::max();
    }

private:
    pid_t parec_ = -1;
    std::string bytes_;
    std::vector<std::pair<std::size_t, Clock::time_point>> stamps_;
    std::atomic<Clock::time_point> lastBlock_{};
    std::thread reader_;
};
