#include "fake_line_control.h"
#include "haupt.h"
#include "linux_serial_line_service.h"
#include "port_fixtures.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <memory>

namespace {

class Silent : public MessageBox {
public:
    void MsgBox(const QString& text) override { shown << text; }
    QStringList shown;
};

class NoBeep : public measurement::Beeper {
public:
    void Beep() override {}
};

// The real window offscreen holding the real service; COM 1 is a
// pseudo-terminal, its modem lines come from the fake layer.
class WindowOnARealPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        tree.addDevice(QStringLiteral("ttyUSB0"), pty.slavePath());
        auto fake = std::make_unique<FakeLineControl>(FakeLineControl::Driver{});
        lines = fake.get();
        window = std::make_unique<HAUPT>(
            std::make_unique<serial::LinuxSerialLineService>(tree.root(), std::move(fake)), &messages, &beeper);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    template <typename Widget = QWidget>
    Widget* control(const QString& name) const
    {
        auto* widget = window->findChild<Widget*>(name);
        EXPECT_NE(widget, nullptr) << name.toStdString();
        return widget;
    }
    void click(const char* name)
    {
        auto* widget = control(QString::fromLatin1(name));
        QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(4, widget->height() / 2));
    }
    QColor frame() const
    {
        auto* widget = control(QStringLiteral("Frame_OPEN"));
        return widget->palette().color(widget->backgroundRole());
    }
    QColor buttonFace() const { return window->palette().color(QPalette::Button); }
    QString pulses() const { return control<QLineEdit>(QStringLiteral("Text_ANZAHL_IMPULSE"))->text(); }

    Pty pty;
    FakeTree tree;
    FakeLineControl* lines = nullptr;
    Silent messages;
    NoBeep beeper;
    std::unique_ptr<HAUPT> window;
};

TEST_F(WindowOnARealPort, OpensCountsAndCloses)
{
    click("Option_COMPORT_0");
    click("optSignal_2");  // CTS
    click("Command_OPEN");
    EXPECT_EQ(window->windowTitle(), QStringLiteral("COM 1  9600,n,8,1"));
    EXPECT_EQ(frame(), QColor(0, 255, 0));
    EXPECT_TRUE(messages.shown.isEmpty());

    ASSERT_TRUE(waitFor([&] { return lines->waitsBegun() >= 1; }));
    lines->toggle(TIOCM_CTS, 6);
    lines->toggle(TIOCM_DSR, 4);  // not the chosen line
    EXPECT_TRUE(waitFor([&] { return pulses() == QStringLiteral("3"); }));

    click("Command_CLOSE");
    EXPECT_EQ(window->windowTitle(), QStringLiteral("close"));
    EXPECT_EQ(frame(), buttonFace());
}

TEST_F(WindowOnARealPort, AHungUpPortShowsTheClosedStateWithoutAMessage)
{
    click("Option_COMPORT_0");
    click("Command_OPEN");
    ASSERT_EQ(frame(), QColor(0, 255, 0));
    pty.hangUp();
    EXPECT_TRUE(waitFor([&] { return window->windowTitle() == QStringLiteral("close"); }));
    EXPECT_EQ(frame(), buttonFace());
    EXPECT_TRUE(messages.shown.isEmpty());
}

TEST_F(WindowOnARealPort, APortWithNothingBehindItFailsWithTheMessage)
{
    click("Option_COMPORT_1");
    click("Command_OPEN");
    EXPECT_EQ(messages.shown, QStringList{QStringLiteral("COM 2 kann nicht geöffnet werden")});
    EXPECT_EQ(frame(), buttonFace());
}

}  // namespace
