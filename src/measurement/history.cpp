#include "history.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <tuple>

namespace measurement {

Statistics Statistics::scaled(double factor) const
{
    Statistics copy = *this;
    for (double* value : {&copy.mean, &copy.s, &copy.lowest, &copy.highest, &copy.standardError})
        *value *= factor;
    return copy;
}

// Welford's running mean and squares, and Chan's merge of two stretches: both
// stay exact enough over a week of nearly equal values.
void History::Sums::add(double frequency, double tickEdges)
{
    lowest = n ? std::min(lowest, frequency) : frequency;
    highest = n ? std::max(highest, frequency) : frequency;
    n += 1;
    const double delta = frequency - mean;
    mean += delta / n;
    squares += delta * (frequency - mean);
    edges += tickEdges;
}

void History::Sums::add(const Sums& other)
{
    if (other.n == 0)
        return;
    if (n == 0) {
        *this = other;
        return;
    }
    const double total = n + other.n;
    const double delta = other.mean - mean;
    mean += delta * other.n / total;
    squares += other.squares + delta * delta * n * other.n / total;
    n = total;
    edges += other.edges;
    lowest = std::min(lowest, other.lowest);
    highest = std::max(highest, other.highest);
}

void History::add(const QDateTime& at, const TickRecord& record)
{
    const qint64 msecs = at.toMSecsSinceEpoch();
    if (size_ == 0)
        startMsecs_ = msecs;
    if (size_ % kBlock == 0) {
        blocks_.push_back(std::make_unique<Tick[]>(kBlock));
        blockSums_.emplace_back();
    }
    const double edges = std::isnan(record.edges) ? 0 : std::clamp(record.edges, 0.0, double{(1u << 31) - 1});
    // A clock set years away after start-up (a machine without a clock of its own
    // syncing late) pins its ticks to the ends of what twelve bytes hold, some 6 years.
    const qint64 tenths = std::clamp<qint64>((msecs - startMsecs_) / 100, INT32_MIN, INT32_MAX);
    Tick& stored = blocks_.back()[size_ % kBlock];
    stored = {static_cast<std::int32_t>(tenths), static_cast<float>(record.frequency), static_cast<std::uint32_t>(edges),
              record.minMaxActive ? 1u : 0u};
    blockSums_.back().add(stored.frequency, stored.edges);
    ++size_;
    latest_ = record;
}

void History::markReset(const QDateTime& at)
{
    resets_.push_back({size_, at.toMSecsSinceEpoch()});
}

double History::time(std::size_t index) const
{
    return static_cast<double>(startMsecs_ + qint64{tick(index).tenths} * 100) / 1000;
}

std::pair<std::size_t, std::size_t> History::between(double from, double to) const
{
    // The first tick at or after `tenths` since the first tick.
    const auto firstFrom = [this](double tenths) {
        std::size_t low = 0;
        std::size_t high = size_;
        while (low < high) {
            const std::size_t middle = low + (high - low) / 2;
            if (tick(middle).tenths < tenths)
                low = middle + 1;
            else
                high = middle;
        }
        return low;
    };
    const auto tenths = [this](double seconds) { return (seconds * 1000 - static_cast<double>(startMsecs_)) / 100; };
    const std::size_t first = firstFrom(std::ceil(tenths(from)));
    return {first, std::max(first, firstFrom(std::floor(tenths(to)) + 1))};
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

// Whole blocks by their sums, the ragged ends tick by tick.
Statistics History::statistics(std::size_t first, std::size_t last) const
{
    Sums sums;
    last = std::min(last, size_);
    for (std::size_t i = std::max(first, resetIndex()); i < last;) {
        if (i % kBlock == 0 && i + kBlock <= last) {
            sums.add(blockSums_[i / kBlock]);
            i += kBlock;
        } else {
            sums.add(tick(i).frequency, tick(i).edges);
            ++i;
        }
    }
    Statistics result;
    if (sums.n == 0)
        return result;
    result.n = static_cast<std::size_t>(sums.n);
    result.pulses = std::floor(sums.edges / 2);
    result.mean = sums.mean;
    result.lowest = sums.lowest;
    result.highest = sums.highest;
    if (result.n > 1) {
        result.s = std::sqrt(sums.squares / (sums.n - 1));
        result.standardError = result.s / std::sqrt(sums.n);
    }
    return result;
}

// The moving average of the frequency at consecutive ticks, in one pass.
class History::Averager {
public:
    Averager(const History& history, std::size_t first, Averaging span)
        : history_(history), width_(static_cast<std::size_t>(span)), low_(start(first))
    {
        for (std::size_t i = low_; i < first; ++i)
            sum_ += history_.tick(i).frequency;
    }
    // The average up to tick `index`, one greater than at the call before.
    double at(std::size_t index)
    {
        sum_ += history_.tick(index).frequency;
        for (const std::size_t from = start(index); low_ < from; ++low_)
            sum_ -= history_.tick(low_).frequency;
        return sum_ / static_cast<double>(index + 1 - low_);
    }

private:
    std::size_t start(std::size_t index) const
    {
        return std::max(index + 1 >= width_ ? index + 1 - width_ : 0, history_.resetBefore(index));
    }

    const History& history_;
    std::size_t width_;
    std::size_t low_;
    double sum_ = 0;
};

std::vector<ChartPoint> History::envelope(std::size_t first, std::size_t last, std::size_t buckets,
                                          std::optional<Averaging> average) const
{
    std::vector<ChartPoint> points;
    last = std::min(last, size_);
    if (first >= last || buckets == 0)
        return points;
    std::optional<Averager> averager;
    if (average)
        averager.emplace(*this, first, *average);
    const std::size_t count = last - first;
    const std::size_t perBucket = count <= 2 * buckets ? 1 : (count + buckets - 1) / buckets;
    points.reserve(2 * (count / perBucket + 1));
    for (std::size_t begin = first; begin < last; begin += perBucket) {
        std::size_t low = begin;
        std::size_t high = begin;
        double lowest = 0;
        double highest = 0;
        for (std::size_t i = begin; i < std::min(begin + perBucket, last); ++i) {
            const double value = averager ? averager->at(i) : double{tick(i).frequency};
            if (i == begin || value < lowest)
                std::tie(low, lowest) = std::pair{i, value};
            if (i == begin || value > highest)
                std::tie(high, highest) = std::pair{i, value};
        }
        points.push_back(low <= high ? ChartPoint{time(low), lowest} : ChartPoint{time(high), highest});
        if (low != high)
            points.push_back(low <= high ? ChartPoint{time(high), highest} : ChartPoint{time(low), lowest});
    }
    return points;
}

std::vector<std::pair<double, double>> History::activeSpans(std::size_t first, std::size_t last, double join) const
{
    std::vector<std::pair<double, double>> spans;
    for (std::size_t i = first; i < std::min(last, size_); ++i) {
        if (!tick(i).active)
            continue;
        const double start = time(i) - 1;
        if (!spans.empty() && start - spans.back().second <= join)
            spans.back().second = time(i);
        else
            spans.emplace_back(start, time(i));
    }
    return spans;
}

}  // namespace measurement
