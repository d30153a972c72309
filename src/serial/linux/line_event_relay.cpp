#include "line_event_relay.h"

#include <iterator>
#include <utility>

namespace serial {

LineEventRelay::LineEventRelay(EdgeHandler onEdge, LostHandler onLost, InHandler onIn)
    : onEdge_(std::move(onEdge)), onLost_(std::move(onLost)), onIn_(std::move(onIn))
{
}

void LineEventRelay::setOpenGeneration(std::uint64_t generation)
{
    openGeneration_ = generation;
}

void LineEventRelay::postEdges(std::uint64_t generation, const std::vector<LineEdges>& edges,
                               std::optional<std::chrono::steady_clock::time_point> inUpTo)
{
    std::unique_lock lock(mutex_);
    for (const LineEdges& e : edges)
        pending_.push_back({generation, Kind::Edges, e});
    if (inUpTo)
        pending_.push_back({generation, Kind::In, {0, 0, {*inUpTo, 0, {}}}});
    postLocked(lock);
}

void LineEventRelay::postLost(std::uint64_t generation)
{
    std::unique_lock lock(mutex_);
    pending_.push_back({generation, Kind::Lost, {}});
    postLocked(lock);
}

// One queued drain at a time carries everything posted until it runs, so a
// flood of edges costs one queued call per batch, not per edge.
void LineEventRelay::postLocked(std::unique_lock<std::mutex>& lock)
{
    if (drainPosted_)
        return;
    drainPosted_ = true;
    lock.unlock();
    QMetaObject::invokeMethod(&receiver_, [this] { drain(); }, Qt::QueuedConnection);
}

// Items are taken over to the drain's own queue, then delivered from its
// front, so each is moved once however many drains a backlog takes.
void LineEventRelay::deliverAll()
{
    drain(0xffffffffU);
}

void LineEventRelay::drain(std::uint32_t budget)
{
    std::vector<Item> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(pending_);
        drainPosted_ = false;
    }
    itemsMoved_ += taken.size();
    std::move(taken.begin(), taken.end(), std::back_inserter(draining_));
    taken = {};
    // A handler may close the port: every edge is checked against what is open
    // then. A burst larger than the budget is handed on to the next drain, so
    // timers and clicks still get their turn between the parts. The front is
    // looked up afresh for every edge, as a handler may run the event loop and
    // with it another drain.
    while (!draining_.empty() && budget > 0) {
        Item& item = draining_.front();
        if (item.generation != openGeneration_ || item.kind != Kind::Edges || item.edges.count == 0) {
            const Item told = item.generation == openGeneration_ ? item : Item{0, Kind::Edges, {}};
            draining_.pop_front();
            if (told.kind == Kind::Lost)
                onLost_();
            else if (told.kind == Kind::In)
                onIn_(told.edges.at.monotonic);
            continue;
        }
        const LineEdges edge = item.edges;
        if (--item.edges.count == 0)
            draining_.pop_front();
        --budget;
        onEdge_(edge.code, edge.at);
    }
    if (draining_.empty())
        return;

    std::unique_lock lock(mutex_);
    postLocked(lock);
}

}  // namespace serial
