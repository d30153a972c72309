// Texts no one should type, in every text box of the real window, followed by
// what the window does with them: edges and ticks through the fake service,
// and open and close through the real service on a pseudo-terminal.
#include "fake_serial_line_service.h"
#include "haupt.h"
#include "linux_serial_line_service.h"
#include "port_fixtures.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.left(60).toStdString() << '"'; }
inline void PrintTo(const QColor& colour, std::ostream* out) { *out << colour.name().toStdString(); }

namespace {

const char* const kTextBoxes[] = {
    "Text_SETTINGS", "Text_IMPULSLÄNGE", "Text_ANZAHL_IMPULSE", "Text_FREQUENZ",
    "txtFMax",       "txtFMin",          "txtIMax",             "txtIMin",
};

struct BadText { const char* name; QString text; bool isNumber; };  // a number reads as a limit all the same
void PrintTo(const BadText& bad, std::ostream* out) { *out << bad.name; }

const BadText kBadTexts[] = {
    {"empty", QString(), false},
    {"ten_thousand_digits", QString(10000, QLatin1Char('7')), false},
    {"ten_thousand_letters", QString(10000, QLatin1Char('x')), false},
    {"control_characters", QString::fromLatin1("\x01\x02\t\n\r\x1b\x7f" "5"), false},
    {"invalid_utf8", QString::fromUtf8("\xff\xfe\xc0\xaf" "5\xed\xa0\x80"), false},
    {"beyond_double_digits", QStringLiteral("1") + QString(400, QLatin1Char('0')), false},
    {"beyond_double_exponent", QStringLiteral("1e309"), false},
    {"below_double_exponent", QStringLiteral("-1e309"), false},
    {"not_a_number", QStringLiteral("NaN"), false},
    {"infinity", QStringLiteral("inf"), false},
    {"minus_zero", QStringLiteral("-0"), true},
};

const QColor kRed(255, 0, 0);
const QColor kGreen(0, 255, 0);

// The real window, answering its own messages. Timer1 ticks only when the
// test asks, so edges and ticks interleave as the test says; each tick comes
// a second after the one before by the window's clock.
class Window : public MessageBox, public measurement::Beeper {
public:
    explicit Window(std::unique_ptr<serial::SerialLineService> service)
        : haupt(std::move(service), this, this, [now = std::chrono::steady_clock::time_point()]() mutable {
              return now += std::chrono::seconds(1);
          })
    {
        timer()->stop();
    }
    void MsgBox(const QString& text) override { shown << text; }
    void Beep() override {}

    template <typename Widget = QWidget>
    Widget* control(const QString& name)
    {
        auto* widget = haupt.findChild<Widget*>(name);
        EXPECT_NE(widget, nullptr) << "no control " << name.toStdString();
        return widget;
    }
    QTimer* timer() { return haupt.findChild<QTimer*>(QStringLiteral("Timer1")); }
    void type(const char* box, const QString& text) { control<QLineEdit>(QString::fromUtf8(box))->setText(text); }
    // What is shown, once the due hand-over of texts and colours is done.
    void settle() { EXPECT_TRUE(QTest::qWaitFor([this] { return !control<QTimer>(QStringLiteral("readoutFrame"))->isActive(); })); }
    QString text(const char* box) { settle(); return control<QLineEdit>(QString::fromUtf8(box))->text(); }
    void click(const char* button) { QTest::mouseClick(control<QPushButton>(button), Qt::LeftButton); }
    QColor background(const char* name)
    {
        settle();
        auto* widget = control(name);
        return widget->palette().color(widget->backgroundRole());
    }
    QString caption() const { return haupt.windowTitle(); }

    // One real tick of Timer1 through the event loop, bounded.
    bool tick()
    {
        QSignalSpy ticked(timer(), &QTimer::timeout);
        timer()->start(1);
        const bool arrived = ticked.wait(2000);
        timer()->stop();
        return arrived;
    }

    QStringList shown;
    HAUPT haupt;
};

class BadInputSweep : public ::testing::TestWithParam<BadText> {};

TEST_P(BadInputSweep, EveryBoxTakesItAndEveryHandlerKeepsItsWay)
{
    const BadText& bad = GetParam();
    auto service = std::make_unique<FakeSerialLineService>();
    FakeSerialLineService& fake = *service;
    Window w(std::move(service));
    for (const char* box : kTextBoxes)
        w.type(box, bad.text);

    // Edges overwrite the two edge readouts, whatever stood there.
    const auto start = std::chrono::steady_clock::now();
    fake.raise(serial::comEvCD, {start, 3600.0});
    fake.raise(serial::comEvCD, {start + std::chrono::milliseconds(50), 3600.05});
    EXPECT_EQ(w.text("Text_ANZAHL_IMPULSE"), QStringLiteral("1"));
    EXPECT_EQ(w.text("Text_IMPULSLÄNGE"), QStringLiteral("0.100ms"));

    // Both limits bad (or equal): the tick completes and the window stays shut.
    ASSERT_TRUE(w.tick());
    EXPECT_EQ(w.text("Text_FREQUENZ"), QStringLiteral("1 Hz"));
    EXPECT_EQ(w.background("lblMM"), kRed);
    EXPECT_EQ(w.haupt.state().FREQUENZ, 0);

    // One limit sound, the other bad: only a text that is a number opens the window.
    w.type("txtIMax", QStringLiteral("1000"));
    ASSERT_TRUE(w.tick());
    EXPECT_EQ(w.background("lblMM"), bad.isNumber ? kGreen : kRed);
    w.type("txtIMin", QStringLiteral("0"));
    w.type("txtIMax", bad.text);
    ASSERT_TRUE(w.tick());
    EXPECT_EQ(w.background("lblMM"), kRed);
    EXPECT_EQ(w.text("txtIMax"), bad.text) << "the user's text is left as typed";
}

INSTANTIATE_TEST_SUITE_P(Texts, BadInputSweep, ::testing::ValuesIn(kBadTexts),
                         [](const auto& row) { return std::string(row.param.name); });

// The real window holding the real service on a pseudo-terminal: a settings
// text the service refuses leaves those in force, which the caption shows,
// and the port still opens on them.
TEST(WindowOnAPseudoTerminal, OpensOnTheSettingsInForceWhateverIsTypedAndCloses)
{
    PtyTree port;
    Window w(std::make_unique<serial::LinuxSerialLineService>(port.tree.root(), serial::makeSystemLineControl()));
    w.type("Text_SETTINGS", QStringLiteral("19200,e,7,2"));
    w.click("Command_OPEN");
    ASSERT_EQ(w.caption(), QStringLiteral("COM 1  19200,e,7,2"));

    for (const BadText& bad : kBadTexts) {
        SCOPED_TRACE(bad.name);
        w.type("Text_SETTINGS", bad.text);
        w.click("Command_OPEN");
        EXPECT_EQ(w.caption(), QStringLiteral("COM 1  19200,e,7,2"));
        EXPECT_EQ(w.background("Frame_OPEN"), kGreen);
        EXPECT_TRUE(w.shown.isEmpty());
    }
    w.click("Command_CLOSE");
    EXPECT_EQ(w.caption(), QStringLiteral("close"));
    EXPECT_EQ(w.background("Frame_OPEN"), w.haupt.palette().color(QPalette::Button));
}

}  // namespace
