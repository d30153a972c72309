// The stamping rules as timelines: each row is one reading (when, the wake-up
// before it, whether it ends a batch, what it read) and the edges it gives
// out, as count@ms, "+T" for one a debounce confirmed T ms later.
#include "edge_stamper.h"

#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

using namespace serial;
using namespace std::chrono_literals;

namespace {

struct Row {
    double ms, wokeMs;  // wokeMs < 0: read by the clock
    bool endsBatch;
    int value;  // the counter of the line
    const char* out;
    double dueMs;  // when held edges go over after a hand-over at 0 ms; < 0: not looked at
};

EdgeStamper::Clock::time_point at(double ms)
{
    return EdgeStamper::Clock::time_point(std::chrono::round<EdgeStamper::Clock::duration>(ms * 1ms));
}

// count@ms of each edge; "+T" for one a debounce confirmed T ms later.
QString described(const std::vector<LineEdges>& edges)
{
    QStringList out;
    for (const LineEdges& e : edges)
        out << QStringLiteral("%1@%2%3").arg(e.count)
                   .arg(std::chrono::duration<double, std::milli>(e.at.monotonic.time_since_epoch()).count())
                   .arg(e.at.countedAfter.count() ? QStringLiteral("+%1").arg(e.at.countedAfter / 1ms) : QString());
    return out.join(u' ');
}

TEST(EdgeStamper, StampsReadingsByTheirRules)
{
    // Whether the line is an 8250's RI, whose count is a pulse; the
    // debounce; the readings, the first the baseline.
    const struct { const char* name; bool ring; int debounceMs; std::vector<Row> rows; } timelines[] = {
        {"counters", false, 0, {
            {0, -1, false, 41, "", -1},                   // counted before the open: not ours
            {100, 99.9, false, 43, "1@99.9 1@100", -1},   // a short pulse after a quiet spell: wake-up, reading
            {200, 199.95, false, 44, "1@199.95", 17},    // a lone edge, at its wake-up; over once the frame is out
            {201, 201, false, 45, "1@201", -1},
            {202, 202, false, 46, "1@202", 52},           // a regular train, 1 ms apart: over every third frame
            {206, 206, true, 50, "1@203 1@204 1@205 1@206", -1},  // a batch that ends on an edge: even since the last
            {212, -1, true, 52, "1@207 1@208", -1},       // the batch's wait ran out: the train stopped, at its spacing
            {220, -1, false, 52, "", -1}, {230, -1, false, 54, "1@225 1@230", -1},  // found by a look: since the quiet one
            {240, 240, false, 10, "", -1},                // a counter that went back counts nothing
            {250, 249.5, false, 11, "1@249.5", -1}}},
        {"8250 ring", true, 0, {
            {0, -1, false, 0, "", -1}, {10, 9.9, false, 1, "1@10 1@10", -1},  // a count is a pulse: both at the reading
            {30, 29.9, false, 3, "1@15 1@20 1@25 1@30", -1}}},  // then spread since the last count
        {"debounce 5 ms", false, 5, {
            {0, -1, false, 0, "", -1}, {102, 100, false, 5, "", -1},  // a contact closes and bounces: 5 edges in 2 ms
            {106.9, -1, false, 5, "", -1},                // 4,9 ms since the last bounce
            {107, -1, false, 5, "1@100+5", -1},           // kept its level for 5 ms: one change, the burst's first edge
            {200, 200, false, 6, "", -1}, {201, 201, false, 9, "", -1},  // a burst that ends where it began counts nothing
            {300, 300, false, 10, "", -1},                // the next burst begins
            {400, -1, false, 10, "1@300+5", -1}}},
    };
    for (const auto& [name, ring, debounceMs, rows] : timelines) {
        EdgeStamper stamper(ring);
        stamper.setDebounce(std::chrono::milliseconds(debounceMs));
        for (const Row& row : rows) {
            LineReading r{{at(row.ms), 36000 + row.ms / 1000, {}}, {}, row.endsBatch, {}, 0};
            r.wokeAt = row.wokeMs >= 0 ? std::optional(at(row.wokeMs)) : std::nullopt;
            r.counts = ring ? LineCounts{0, 0, 0, row.value} : LineCounts{row.value, 0, 0, 0};
            std::vector<LineEdges> found;
            &row == &rows.front() ? stamper.begin(r) : stamper.read(r, found);
            EXPECT_EQ(described(found).toStdString(), row.out) << name << " at " << row.ms << " ms";
            EXPECT_TRUE(row.dueMs < 0 || stamper.handOverDue(at(0)) == at(row.dueMs)) << name << " due at " << row.ms;
        }
    }
}

// A burst still held when the debounce is turned off counts at the next
// reading and is let go: held, it would ask for a look at once, for ever.
TEST(EdgeStamper, TurningTheDebounceOffLetsAHeldBurstGo)
{
    EdgeStamper stamper(false);
    stamper.setDebounce(5ms);
    std::vector<LineEdges> found;
    stamper.begin({{at(0), 0, {}}, {}, false, LineCounts{}, 0});
    stamper.read({{at(102), 0, {}}, at(100), false, LineCounts{5, 0, 0, 0}, 0}, found);
    stamper.setDebounce(0ms);
    stamper.read({{at(103), 0, {}}, {}, false, LineCounts{5, 0, 0, 0}, 0}, found);
    EXPECT_EQ(described(found).toStdString(), "1@100");
    EXPECT_FALSE(stamper.confirmDue());
}

}  // namespace
