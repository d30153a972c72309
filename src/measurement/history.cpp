#include "history.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace measurement {

Statistics Statistics::scaled(double factor) const
{
    Statistics copy = *this;
    for (double* value : {&copy.mean, &copy.s, &copy.lowest, &copy.highest, &copy.standardError})
        *value *= factor;
    return copy;
}

void History::add(const QDateTime& at, const TickRecord& tick)
{
    const qint64 msecs = at.toMSecsSinceEpoch();
    if (ticks_.empty())
        startMsecs_ = msecs;
    const double edges = std::clamp(tick.edges, 0.0, double{(1u << 31) - 1});
    ticks_.push_back({static_cast<std::int32_t>((msecs - startMsecs_) / 100), static_cast<float>(tick.frequency),
                      static_cast<std::uint32_t>(edges), tick.minMaxActive ? 1u : 0u});
    latest_ = tick;
}

void History::markReset(const QDateTime& at)
{
    resets_.push_back({ticks_.size(), at.toMSecsSinceEpoch()});
}

double History::time(std::size_t index) const
{
    return static_cast<double>(startMsecs_ + qint64{ticks_[index].tenths} * 100) / 1000;
}

std::pair<std::size_t, std::size_t> History::between(double from, double to) const
{
    // Tenths of a second since the first tick, rounded towards the inside of [from, to].
    const auto tenths = [this](double seconds, double (*round)(double)) {
        return static_cast<std::int64_t>(round((seconds * 1000 - static_cast<double>(startMsecs_)) / 100));
    };
    const auto first = std::lower_bound(ticks_.begin(), ticks_.end(), tenths(from, std::ceil),
                                        [](const Tick& t, std::int64_t v) { return t.tenths < v; });
    const auto last = std::upper_bound(first, ticks_.end(), tenths(to, std::floor),
                                       [](std::int64_t v, const Tick& t) { return v < t.tenths; });
    return {static_cast<std::size_t>(first - ticks_.begin()), static_cast<std::size_t>(last - ticks_.begin())};
}

std::vector<double> History::resetTimes() const
{
    std::vector<double> times;
    for (const Reset& reset : resets_)
        times.push_back(static_cast<double>(reset.msecs) / 1000);
    return times;
}

std::size_t History::resetBefore(std::size_t index) const
{
    const auto after = std::upper_bound(resets_.begin(), resets_.end(), index,
                                        [](std::size_t i, const Reset& r) { return i < r.index; });
    return after == resets_.begin() ? 0 : std::prev(after)->index;
}

// One pass: Welford's running mean and sum of squares keep s exact enough
// over a week of nearly equal values.
Statistics History::statistics(std::size_t first, std::size_t last) const
{
    Statistics result;
    first = std::max(first, resetIndex());
    last = std::min(last, ticks_.size());
    if (first >= last)
        return result;
    double edges = 0;
    double squares = 0;
    result.lowest = std::numeric_limits<double>::infinity();
    result.highest = -std::numeric_limits<double>::infinity();
    for (std::size_t i = first; i < last; ++i) {
        const double f = ticks_[i].frequency;
        edges += ticks_[i].edges;
        ++result.n;
        const double delta = f - result.mean;
        result.mean += delta / static_cast<double>(result.n);
        squares += delta * (f - result.mean);
        result.lowest = std::min(result.lowest, f);
        result.highest = std::max(result.highest, f);
    }
    result.pulses = std::floor(edges / 2);
    if (result.n > 1) {
        result.s = std::sqrt(squares / static_cast<double>(result.n - 1));
        result.standardError = result.s / std::sqrt(static_cast<double>(result.n));
    }
    return result;
}

std::vector<double> History::averages(std::size_t first, std::size_t last, Averaging span) const
{
    std::vector<double> result;
    last = std::min(last, ticks_.size());
    if (first >= last)
        return result;
    result.reserve(last - first);
    const auto width = static_cast<std::size_t>(span);
    const auto windowStart = [&](std::size_t i) { return std::max(i + 1 >= width ? i + 1 - width : 0, resetBefore(i)); };
    std::size_t low = windowStart(first);
    double sum = 0;
    for (std::size_t i = low; i < first; ++i)
        sum += ticks_[i].frequency;
    for (std::size_t i = first; i < last; ++i) {
        sum += ticks_[i].frequency;
        for (const std::size_t start = windowStart(i); low < start; ++low)
            sum -= ticks_[low].frequency;
        result.push_back(sum / static_cast<double>(i + 1 - low));
    }
    return result;
}

std::vector<ChartPoint> History::envelope(std::size_t first, std::size_t last, std::size_t buckets,
                                          const std::vector<double>* values) const
{
    std::vector<ChartPoint> points;
    last = std::min(last, ticks_.size());
    if (first >= last || buckets == 0)
        return points;
    const auto value = [&](std::size_t i) { return values ? (*values)[i - first] : double{ticks_[i].frequency}; };
    const std::size_t count = last - first;
    const std::size_t perBucket = count <= 2 * buckets ? 1 : (count + buckets - 1) / buckets;
    points.reserve(2 * (count / perBucket + 1));
    for (std::size_t begin = first; begin < last; begin += perBucket) {
        const std::size_t end = std::min(begin + perBucket, last);
        std::size_t low = begin;
        std::size_t high = begin;
        for (std::size_t i = begin + 1; i < end; ++i) {
            if (value(i) < value(low))
                low = i;
            if (value(i) > value(high))
                high = i;
        }
        points.push_back({time(std::min(low, high)), value(std::min(low, high))});
        if (low != high)
            points.push_back({time(std::max(low, high)), value(std::max(low, high))});
    }
    return points;
}

}  // namespace measurement
