#include "line_event_relay.h"

#include <utility>

namespace serial {

LineEventRelay::LineEventRelay(EdgeHandler onEdge, LostHandler onLost)
    : onEdge_(std::move(onEdge)), onLost_(std::move(onLost))
{
}

void LineEventRelay::setOpenGeneration(std::uint64_t generation)
{
    openGeneration_ = generation;
}

void LineEventRelay::postEdges(std::uint64_t generation, const std::vector<LineEdges>& edges)
{
    std::unique_lock lock(mutex_);
    for (const LineEdges& e : edges)
        pending_.push_back({generation, false, e});
    postLocked(lock);
}

void LineEventRelay::postLost(std::uint64_t generation)
{
    std::unique_lock lock(mutex_);
    pending_.push_back({generation, true, {}});
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

void LineEventRelay::drain()
{
    std::vector<Item> items;
    {
        std::lock_guard lock(mutex_);
        items.swap(pending_);
        drainPosted_ = false;
    }
    // A handler may close the port: every edge is checked against what is open
    // then. A burst larger than the budget is handed on to the next drain, so
    // timers and clicks still get their turn between the parts.
    std::uint32_t budget = kEdgesPerDrain;
    std::size_t next = 0;
    for (; next < items.size() && budget > 0; ++next) {
        Item& item = items[next];
        if (item.lost) {
            if (item.generation == openGeneration_)
                onLost_();
            continue;
        }
        while (item.edges.count > 0 && budget > 0 && item.generation == openGeneration_) {
            --item.edges.count;
            --budget;
            onEdge_(item.edges.code, item.edges.at);
        }
        if (item.edges.count > 0 && item.generation == openGeneration_)
            break;
    }
    if (next == items.size())
        return;

    std::unique_lock lock(mutex_);
    pending_.insert(pending_.begin(), items.begin() + static_cast<std::ptrdiff_t>(next), items.end());
    postLocked(lock);
}

}  // namespace serial
