#pragma once

#include "line_control.h"
#include "line_event_relay.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace serial {

// The most edges any one line counted between two readings; a counter that
// went back (a driver reset) counts nothing.
std::uint32_t mostEdges(const LineCounts& before, const LineCounts& after);

// One look at the modem lines: when it was taken and what it found.
struct LineReading {
    EdgeTime at;
    // The wait ended for a change at this time, right before the look.
    std::optional<std::chrono::steady_clock::time_point> wokeAt;
    // It ends a batch: the watcher slept through a fast train's edges, then
    // waited for the next one; without a wake-up, the train stopped.
    bool endsBatch = false;
    std::optional<LineCounts> counts;  // the kernel's counters, where the driver keeps them
    int bits = 0;                      // else the TIOCM_* levels
};

// Turns readings of the modem lines into stamped edges; it has no thread and
// no clock of its own. Edges between two readings are known only by number,
// so their stamps follow rules:
// - a reading right after a wake-up: the first edge at the wake-up, the
//   others spread evenly to the reading;
// - a batch that ends on a wake-up, and a reading by the clock in a running
//   train: spread evenly since the line's last edge, which gives a regular
//   train its true spacing;
// - a batch that ends without one (the train stopped): the edges follow the
//   last one at the train's spacing where they fit;
// - any other reading by the clock: spread evenly since the last reading;
// - where the driver counts RI once per pulse (the 8250, cdc-acm), a count is
//   a whole pulse, both edges spread since the last count;
// - a counter that went back counts nothing.
// With a debounce time T a change counts only once the line has kept its new
// level for T: one edge stamped with the burst's first, counted T later; a
// burst that ends at the level it started from counts nothing.
class EdgeStamper {
public:
    using Clock = std::chrono::steady_clock;

    explicit EdgeStamper(bool ringCountsPulses) : ringCountsPulses_(ringCountsPulses) {}

    // What was counted before is not ours.
    void begin(const LineReading& baseline);
    void setDebounce(std::chrono::milliseconds time);
    std::chrono::milliseconds debounce() const { return debounce_; }
    // Appends the edges `reading` found, and those a debounce confirmed by
    // then, to `found`; in stamp order per line.
    void read(const LineReading& reading, std::vector<LineEdges>& found);
    // When a burst held by the debounce is confirmed or dropped, if one is held.
    std::optional<Clock::time_point> confirmDue() const;
    // Whether the last reading found edges; when it was, and what it read.
    bool inTrain() const { return trainFound_; }
    Clock::time_point lastReading() const { return lastReading_; }
    const LineCounts& counts() const { return counts_; }
    // Whether `now` read the lines otherwise than the last reading.
    bool moved(const LineReading& now) const;

    // How the watcher paces its readings. A regular train whose edges come
    // closer than kBatchSleep is read in batches, but for the last two edges
    // before a hand-over: its spacing, while the hand-over is not near.
    static constexpr auto kBatchSleep = std::chrono::milliseconds(4);
    std::optional<Clock::duration> batchSpacing(Clock::time_point now, Clock::time_point lastHandOver) const;
    // When held edges go over: never sooner than the window's display frame
    // after the last hand-over; an edge after a quiet spell, and a train's
    // last once read quiet, when the frame is out; a running train every
    // third frame after two edges that each woke the watcher, or a frame
    // later without them.
    Clock::time_point handOverDue(Clock::time_point lastHandOver) const;
    // When to read a running train again to see whether it stopped.
    std::optional<Clock::time_point> quietDue() const;

private:
    struct Line {
        std::int16_t code = 0;
        std::optional<Clock::time_point> last;      // the stamp of its last edge
        std::optional<Clock::duration> spacing;     // of its running train
        int steady = 0;                             // spacings in a row that agreed with the one before
        bool found = false;                         // the last reading found edges of it
        // Debounce: a burst under way, from its first edge; the level it started from.
        std::optional<EdgeTime> burstFrom;
        Clock::time_point burstLast;
        bool moved = false;  // an odd number of edges since the burst began
    };

    void addEdges(Line& line, std::uint32_t count, const LineReading& reading, std::vector<LineEdges>& out);
    void place(Line& line, std::uint32_t count, Clock::time_point from, Clock::time_point to, const EdgeTime& at,
               std::vector<LineEdges>& out);
    void debounce(Line& line, const LineEdges& edges, std::vector<LineEdges>& out);
    void confirm(Line& line, Clock::time_point now, std::vector<LineEdges>& out);

    const bool ringCountsPulses_;
    std::chrono::milliseconds debounce_{0};
    std::array<Line, 4> lines_ = [] {
        std::array<Line, 4> lines;
        lines[0].code = comEvCTS;
        lines[1].code = comEvDSR;
        lines[2].code = comEvCD;
        lines[3].code = comEvRing;
        return lines;
    }();
    LineCounts counts_;
    int bits_ = 0;
    Clock::time_point lastReading_;
    std::optional<Clock::time_point> lastRing_;
    bool trainFound_ = false;
    bool afterQuiet_ = false;  // the last edges found came after a quiet spell
    int wokenInRow_ = 0;       // readings in a row right after a wake-up, not ending a batch, each finding edges
    Clock::time_point lastEdge_;
};

}  // namespace serial
