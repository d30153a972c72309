#include "haupt_fixture.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <chrono>

using namespace std::chrono_literals;

namespace {

void click(QWidget* widget)
{
    QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(4, widget->height() / 2));
}

// Lets the real event loop run for a while, as a user reading a box would.
void spin(std::chrono::milliseconds duration)
{
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

class HauptPortTest : public HauptTest {
protected:
    QPushButton* button(const char* name) const { return control<QPushButton>(QString::fromLatin1(name)); }
    QColor buttonFace() const { return window->palette().color(QPalette::Button); }
};

TEST_F(HauptPortTest, RealTimerShowsFrequencyMinMaxAndIndicator)
{
    // 30 edges before the first tick: 15 whole pulses, inside 10 .. 1000.
    for (int i = 0; i < 30; ++i)
        fake->raise(serial::comEvCD, {std::chrono::steady_clock::now(), 1.0 + i});
    EXPECT_TRUE(QTest::qWaitFor([this] { return !text("Text_FREQUENZ").isEmpty(); }, 2500));
    EXPECT_EQ(text("Text_FREQUENZ"), QStringLiteral("15 Hz"));
    EXPECT_EQ(text("txtFMax"), QStringLiteral("15 Hz"));
    EXPECT_EQ(text("txtFMin"), QStringLiteral("15 Hz"));
    EXPECT_EQ(background("lblMM"), QColor(0, 255, 0));
    EXPECT_EQ(control(QStringLiteral("lblMM"))->accessibleDescription(), QStringLiteral("Max Min activ"));

    // A second without edges: the lowest frequency drops, the highest stays.
    EXPECT_TRUE(QTest::qWaitFor([this] { return text("Text_FREQUENZ") == QStringLiteral("0 Hz"); }, 2500));
    EXPECT_EQ(text("txtFMax"), QStringLiteral("15 Hz"));
    EXPECT_EQ(text("txtFMin"), QStringLiteral("0 Hz"));

    // C resets the count: below the lower limit the indicator turns red on the next tick.
    click(button("Command_CLEAR"));
    EXPECT_TRUE(QTest::qWaitFor([this] { return background("lblMM") == QColor(255, 0, 0); }, 2500));
}

TEST_F(HauptPortTest, OpenShowsSuccessInFrameAndCaption)
{
    fake->existingPorts = {1};
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    click(button("Command_OPEN"));

    EXPECT_TRUE(fake->PortOpen());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("COM 1  9600,n,8,1"));
    EXPECT_TRUE(messages.shown.isEmpty());
    // The colour must really be drawn, not only stored in the palette.
    QWidget* frame = control(QStringLiteral("Frame_OPEN"));
    const QImage drawn = frame->grab().toImage();
    // The style shades the frame's panel a little.
    const QColor inside = drawn.pixelColor(frame->width() / 2, 8);
    EXPECT_GT(inside.green(), 230);
    EXPECT_LT(inside.red() + inside.blue(), 30);
}

TEST_F(HauptPortTest, FailedOpenNamesThePortAndLeavesTheCaption)
{
    fake->existingPorts = {1};
    click(button("Command_OPEN"));
    ASSERT_EQ(background("Frame_OPEN"), QColor(0, 255, 0));
    click(comPort(1));
    ASSERT_TRUE(comPort(1)->isChecked());
    const QString caption = window->windowTitle();

    click(button("Command_OPEN"));
    EXPECT_EQ(messages.shown, QStringList{QStringLiteral("COM 2 kann nicht geöffnet werden")});
    EXPECT_EQ(background("Frame_OPEN"), buttonFace());
    EXPECT_EQ(window->windowTitle(), caption);
    EXPECT_FALSE(fake->PortOpen());
}

TEST_F(HauptPortTest, ScanEnablesOnlyThePortsThatOpen)
{
    fake->existingPorts = {1, 3};
    click(comPort(1));
    click(button("Command_SCAN"));
    for (int i = 0; i < kComPortCount; ++i)
        EXPECT_EQ(comPort(i)->isEnabled(), i == 0 || i == 2) << i;
    EXPECT_TRUE(comPort(1)->isChecked());  // selected though disabled
    EXPECT_FALSE(fake->PortOpen());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("close"));
    EXPECT_TRUE(messages.shown.isEmpty());
}

TEST_F(HauptPortTest, LostPortShowsTheClosedStateWithoutMessage)
{
    fake->existingPorts = {1};
    click(button("Command_OPEN"));
    ASSERT_TRUE(fake->PortOpen());
    fake->losePort();
    EXPECT_EQ(background("Frame_OPEN"), buttonFace());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("close"));
    EXPECT_TRUE(messages.shown.isEmpty());
}

TEST_F(HauptPortTest, TimerTicksWhileTheMessageWaits)
{
    QString frequencyWhileWaiting;
    messages.whileWaiting = [&] {
        spin(1100ms);
        frequencyWhileWaiting = text("Text_FREQUENZ");
    };
    click(button("Command_OPEN"));  // no port exists
    ASSERT_EQ(messages.shown.size(), 1);
    EXPECT_EQ(frequencyWhileWaiting, QStringLiteral("0 Hz"));
}

// The real box: modal, titled, one OK button, the handler's text; answered
// here by clicking OK once it is up.
TEST_F(HauptPortTest, RealMessageBoxHasOneOkButton)
{
    makeWindow(nullptr);
    window->show();
    QString title, body;
    int buttons = -1;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        answer.stop();
        title = box->windowTitle();
        body = box->text();
        buttons = static_cast<int>(box->buttons().size());
        if (QAbstractButton* ok = box->button(QMessageBox::Ok))
            QTest::mouseClick(ok, Qt::LeftButton);
        else
            box->reject();
    });
    answer.start(20);
    QTimer::singleShot(5000, &answer, [] {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
    click(button("Command_OPEN"));
    EXPECT_EQ(title, QStringLiteral("Impulsmeter"));
    EXPECT_EQ(body, QStringLiteral("COM 1 kann nicht geöffnet werden"));
    EXPECT_EQ(buttons, 1);
}
