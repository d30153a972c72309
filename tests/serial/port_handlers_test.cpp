#include "fake_serial_line_service.h"
#include "fake_view.h"
#include "port_handlers.h"

#include <gtest/gtest.h>

using serial::PortFailure;
using serial::PortHandlers;

namespace {

class PortHandling : public ::testing::Test, public MessageBox {
protected:
    void MsgBox(const QString& text) override { shown << text; }
    void choose(int option) { view.selected = {{OptionArray::Option_COMPORT, option}}; }
    Colour frame() const { return view.backColors.at(ColouredControl::Frame_OPEN); }

    FakeView view;
    FakeSerialLineService service;
    QStringList shown;
    PortHandlers ports{view, service, *this, QLocale(QLocale::German, QLocale::Germany)};
};

// The calling orders the service relies on: open on COM 3 without RTS, close,
// and the scan, which closes first and then probes every port in turn,
// enabling just the ports that open.
TEST_F(PortHandling, OpenCloseAndScanCallTheServiceInItsOrder)
{
    service.existingPorts = {1, 3};
    choose(2);
    view.checks[CheckBox::Check_RTS] = 0;
    QStringList scan{"PortOpen=false", "PortOpen=false"};
    for (int i = 1; i <= kComPortCount; ++i)
        scan << QStringLiteral("CommPort=%1").arg(i) << "PortOpen=true" << "PortOpen=false";
    const std::pair<void (PortHandlers::*)(), QStringList> rows[] = {
        {&PortHandlers::Command_OPEN_Click,
         {"PortOpen=false", "Settings=9600,n,8,1", "DTREnable=true", "RTSEnable=false", "CommPort=3", "PortOpen=true"}},
        {&PortHandlers::Command_CLOSE_Click, {"PortOpen=false"}},
        {&PortHandlers::Command_SCAN_Click, scan},
    };
    for (const auto& [click, order] : rows) {
        service.calls.clear();
        (ports.*click)();
        EXPECT_EQ(service.calls, order);
    }
    for (int i = 0; i < kComPortCount; ++i)
        EXPECT_EQ(view.comEnabled[i], i == 0 || i == 2) << "COM " << i + 1;
}

// Open on an open port reopens with the current choices; a settings text the
// service rejects leaves the one in force, and the caption says so. Close
// shows the closed state, without a message (a lost port, too: the kernel
// tier unplugs real ones). A failed open names the port (0 when no option is
// selected), leaves the caption and shows the port closed; the tooltip says why.
TEST_F(PortHandling, OpenCloseAndAFailedOpenShowTheirOutcome)
{
    service.existingPorts = {3};
    choose(2);
    ports.Command_OPEN_Click();
    for (const char* typed : {"19200,e,7,2", "kaputt"}) {
        view.texts[TextBox::Text_SETTINGS] = QString::fromUtf8(typed);
        ports.Command_OPEN_Click();
        EXPECT_EQ(view.caption, QStringLiteral("COM 3  19200,e,7,2")) << typed;
        ASSERT_EQ(frame(), colours::lightGreen);
    }
    ports.Command_CLOSE_Click();
    EXPECT_EQ(frame(), colours::buttonFace);
    EXPECT_EQ(view.caption, QStringLiteral("close"));
    EXPECT_TRUE(shown.isEmpty());

    service.failures[16] = PortFailure::NoPermission;
    ports.Command_OPEN_Click();
    for (int option : {15, -1}) {
        choose(option);
        ports.Command_OPEN_Click();
    }
    EXPECT_EQ(shown, (QStringList{"COM 16 kann nicht geöffnet werden", "COM 0 kann nicht geöffnet werden"}));
    EXPECT_EQ(view.caption, QStringLiteral("COM 3  19200,e,7,2"));
    EXPECT_EQ(frame(), colours::buttonFace);
    EXPECT_TRUE(view.comToolTips[15].contains(QStringLiteral("dialout"))) << view.comToolTips[15].toStdString();
}

}  // namespace
