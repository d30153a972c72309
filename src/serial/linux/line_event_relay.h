#pragma once

#include "serial_line_service.h"

#include <QObject>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace serial {

// `count` edges of one line, all seen at one wake-up of the watcher.
struct LineEdges {
    std::int16_t code = 0;
    std::uint32_t count = 0;
    EdgeTime at;
};

// The one crossing from a watcher thread to the thread that owns the service.
// Watchers post from their thread; the owner gets each edge, and the loss of a
// port, on its own thread through Qt's queued delivery, one at a time. What was
// posted for a port generation that is no longer open is dropped there.
class LineEventRelay {
public:
    using EdgeHandler = std::function<void(std::int16_t code, const EdgeTime& at)>;
    using LostHandler = std::function<void()>;
    using InHandler = std::function<void(std::chrono::steady_clock::time_point upTo)>;

    // Lives on the owner's thread, as do the handlers.
    LineEventRelay(EdgeHandler onEdge, LostHandler onLost, InHandler onIn);

    // Owner's thread: which generation is open now; 0 for none.
    void setOpenGeneration(std::uint64_t generation);

    // Any thread. `inUpTo`: the edges up to then are all posted, after these.
    void postEdges(std::uint64_t generation, const std::vector<LineEdges>& edges,
                   std::optional<std::chrono::steady_clock::time_point> inUpTo = {});
    void postLost(std::uint64_t generation);

    // Owner's thread: delivers now what is posted for the open generation, budget or not.
    void deliverAll();

    // Owner's thread: how many posted items were moved from the posting queue
    // to the drain's; each is moved once, so a backlog drains in linear time.
    std::size_t itemsMoved() const { return itemsMoved_; }

private:
    enum class Kind { Edges, Lost, In };
    struct Item {
        std::uint64_t generation;
        Kind kind;
        LineEdges edges;
    };

    static constexpr std::uint32_t kEdgesPerDrain = 10000;

    void postLocked(std::unique_lock<std::mutex>& lock);
    void drain(std::uint32_t budget = kEdgesPerDrain);

    EdgeHandler onEdge_;
    LostHandler onLost_;
    InHandler onIn_;
    QObject receiver_;  // the owner's thread; its queued calls go when it does
    std::uint64_t openGeneration_ = 0;  // owner's thread only
    std::deque<Item> draining_;         // owner's thread only: taken over, not delivered yet
    std::size_t itemsMoved_ = 0;        // owner's thread only

    std::mutex mutex_;
    std::vector<Item> pending_;  // guarded by mutex_
    bool drainPosted_ = false;   // guarded by mutex_
};

}  // namespace serial
