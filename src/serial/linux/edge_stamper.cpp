#include "edge_stamper.h"

#include <sys/ioctl.h>

#include <algorithm>

namespace serial {
namespace {

using namespace std::chrono_literals;

// More edges than this of one line in one reading share stamps in groups.
constexpr std::uint32_t kMostStamps = 1024;
constexpr auto kHandOverEvery = 17ms;
constexpr auto kBusyHandOverEvery = 52ms;
constexpr auto kFrame = 16ms;
// Edges this far from the one before came after a quiet spell; a train read
// quiet for this long has stopped.
constexpr auto kQuiet = 6ms;

// Counters only grow; one that went back (a driver reset) counts nothing.
std::uint32_t edgesBetween(int before, int after)
{
    const auto delta = static_cast<std::uint32_t>(after) - static_cast<std::uint32_t>(before);
    return delta > 0x7fffffffU ? 0 : delta;
}

// `at`, moved to `when` on both clocks.
EdgeTime movedTo(const EdgeTime& at, std::chrono::steady_clock::time_point when)
{
    EdgeTime moved = at;
    moved.monotonic = when;
    moved.timeOfDay = at.timeOfDay - std::chrono::duration<double>(at.monotonic - when).count();
    if (moved.timeOfDay < 0)
        moved.timeOfDay += 24 * 3600;
    return moved;
}

}  // namespace

std::uint32_t mostEdges(const LineCounts& before, const LineCounts& after)
{
    return std::max({edgesBetween(before.cts, after.cts), edgesBetween(before.dsr, after.dsr),
                     edgesBetween(before.dcd, after.dcd), edgesBetween(before.rng, after.rng)});
}

void EdgeStamper::begin(const LineReading& baseline)
{
    counts_ = baseline.counts.value_or(LineCounts{});
    bits_ = baseline.bits;
    lastReading_ = baseline.at.monotonic;
}

void EdgeStamper::setDebounce(std::chrono::milliseconds time)
{
    debounce_ = time;
}

void EdgeStamper::read(const LineReading& reading, std::vector<LineEdges>& found)
{
    std::array<std::uint32_t, 4> counts{};
    if (reading.counts) {
        const LineCounts& now = *reading.counts;
        counts = {edgesBetween(counts_.cts, now.cts), edgesBetween(counts_.dsr, now.dsr),
                  edgesBetween(counts_.dcd, now.dcd), edgesBetween(counts_.rng, now.rng)};
        counts_ = now;
    } else {
        const int changed = reading.bits ^ bits_;
        bits_ = reading.bits;
        counts = {(changed & TIOCM_CTS) != 0, (changed & TIOCM_DSR) != 0, (changed & TIOCM_CD) != 0,
                  (changed & TIOCM_RNG) != 0};
    }
    const auto now = reading.at.monotonic;
    trainFound_ = false;
    const std::size_t before = found.size();
    std::vector<LineEdges> raw;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        Line& line = lines_[i];
        raw.clear();
        if (counts[i] > 0 && line.code == comEvRing && ringCountsPulses_ && reading.counts) {
            place(line, 2 * counts[i], lastRing_.value_or(now), now, reading.at, raw);
            lastRing_ = now;
        } else if (counts[i] > 0) {
            addEdges(line, counts[i], reading, raw);
        }
        line.found = counts[i] > 0;
        trainFound_ = trainFound_ || line.found;
        if (debounce_.count() == 0) {
            // A burst held when the debounce was turned off counts now, before what followed it.
            confirm(line, now, found);
            found.insert(found.end(), raw.begin(), raw.end());
            continue;
        }
        for (const LineEdges& edges : raw)
            debounce(line, edges, found);
        confirm(line, now, found);
    }
    lastReading_ = now;
    if (found.size() > before) {
        afterQuiet_ = found[before].at.monotonic - lastEdge_ >= kQuiet;
        lastEdge_ = found.back().at.monotonic;
    }
    wokenInRow_ = reading.wokeAt && !reading.endsBatch && trainFound_ ? wokenInRow_ + 1 : 0;
}

bool EdgeStamper::moved(const LineReading& now) const
{
    return now.counts ? mostEdges(counts_, *now.counts) > 0 : now.bits != bits_;
}

std::optional<EdgeStamper::Clock::time_point> EdgeStamper::confirmDue() const
{
    std::optional<Clock::time_point> due;
    for (const Line& line : lines_)
        if (line.burstFrom)
            due = std::min(due.value_or(Clock::time_point::max()), line.burstLast + debounce_);
    return due;
}

std::optional<EdgeStamper::Clock::duration> EdgeStamper::batchSpacing(Clock::time_point now,
                                                                      Clock::time_point lastHandOver) const
{
    std::optional<Clock::duration> spacing;
    for (const Line& line : lines_)
        if (line.found && line.spacing && line.steady >= 3)
            spacing = std::min(spacing.value_or(Clock::duration::max()), *line.spacing);
    if (!spacing || *spacing >= kBatchSleep || now + kBatchSleep >= lastHandOver + kBusyHandOverEvery)
        return std::nullopt;
    return spacing;
}

EdgeStamper::Clock::time_point EdgeStamper::handOverDue(Clock::time_point lastHandOver) const
{
    if (!trainFound_ || afterQuiet_)
        return lastHandOver + kHandOverEvery;
    return lastHandOver + kBusyHandOverEvery + (wokenInRow_ >= 2 ? 0ms : kFrame);
}

std::optional<EdgeStamper::Clock::time_point> EdgeStamper::quietDue() const
{
    return trainFound_ && !afterQuiet_ ? std::optional(lastReading_ + kQuiet) : std::nullopt;
}

void EdgeStamper::addEdges(Line& line, std::uint32_t count, const LineReading& reading, std::vector<LineEdges>& out)
{
    const auto now = reading.at.monotonic;
    const auto from = line.found && line.last ? *line.last : lastReading_;
    if (line.found && line.last && reading.wokeAt) {
        // How fast the train runs, and whether its edges keep their pace, one by one, within a sixteenth.
        const auto spacing = (now - from) / count;
        const bool keptPace = line.spacing && std::chrono::abs(spacing - *line.spacing) * 16 <= *line.spacing;
        if (!reading.endsBatch)
            line.steady = keptPace ? line.steady + 1 : 0;
        line.spacing = spacing;
    } else if (!line.found) {
        line.spacing.reset();
        line.steady = 0;
    }
    if (reading.wokeAt && !reading.endsBatch) {
        const auto woke = std::clamp(*reading.wokeAt, from, now);
        place(line, 1, woke, woke, reading.at, out);
        if (count > 1)
            place(line, count - 1, woke, now, reading.at, out);
    } else if (reading.endsBatch && !reading.wokeAt && line.spacing && from + *line.spacing * count <= now) {
        place(line, count, from, from + *line.spacing * count, reading.at, out);
    } else {
        place(line, count, from, now, reading.at, out);
    }
}

// `count` edges evenly over the time after `from` up to `to`, the last at `to`.
void EdgeStamper::place(Line& line, std::uint32_t count, Clock::time_point from, Clock::time_point to,
                        const EdgeTime& at, std::vector<LineEdges>& out)
{
    const std::uint64_t stamps = std::min(count, kMostStamps);
    const auto span = to - from;
    for (std::uint64_t i = 1; i <= stamps; ++i) {
        const auto edges = static_cast<std::uint32_t>(count * i / stamps - count * (i - 1) / stamps);
        const auto when = to - span * static_cast<std::int64_t>(stamps - i) / static_cast<std::int64_t>(stamps);
        out.push_back({line.code, edges, movedTo(at, when)});
    }
    line.last = to;
}

// A burst goes on while its edges come closer than the debounce time.
void EdgeStamper::debounce(Line& line, const LineEdges& edges, std::vector<LineEdges>& out)
{
    confirm(line, edges.at.monotonic, out);
    if (!line.burstFrom) {
        line.burstFrom = edges.at;
        line.moved = false;
    }
    line.moved = line.moved != (edges.count % 2 == 1);
    line.burstLast = edges.at.monotonic;
}

void EdgeStamper::confirm(Line& line, Clock::time_point now, std::vector<LineEdges>& out)
{
    if (!line.burstFrom || now < line.burstLast + debounce_)
        return;
    if (line.moved) {
        EdgeTime at = *line.burstFrom;
        at.countedAfter = debounce_;
        out.push_back({line.code, 1, at});
    }
    line.burstFrom.reset();
}

}  // namespace serial
