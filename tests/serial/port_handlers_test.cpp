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

// The calling orders the service relies on, and the caption and frame each
// click leaves: open on COM 3 without RTS, close, and the scan, which closes
// first and then probes every port in turn, enabling just the ports that
// open. Open on an open port reopens with the current choices; a settings text
// the service rejects leaves the one in force, and the caption says so. A
// failed open names the port (0 when no option is selected), leaves the
// caption and shows the port closed; the tooltip says why. Nothing else brings
// a message (a lost port neither: the kernel tier unplugs real ones).
TEST_F(PortHandling, ClicksCallTheServiceInItsOrderAndShowTheirOutcome)
{
    service.existingPorts = {1, 3};
    choose(2);
    view.checks[CheckBox::Check_RTS] = 0;
    QStringList scan{"PortOpen=false", "PortOpen=false"};
    for (int i = 1; i <= kComPortCount; ++i)
        scan << QStringLiteral("CommPort=%1").arg(i) << "PortOpen=true" << "PortOpen=false";
    const std::tuple<void (PortHandlers::*)(), QStringList, const char*, Colour> rows[] = {
        {&PortHandlers::Command_OPEN_Click,
         {"PortOpen=false", "Settings=9600,n,8,1", "DTREnable=true", "RTSEnable=false", "CommPort=3", "PortOpen=true"},
         "COM 3  9600,n,8,1", colours::lightGreen},
        {&PortHandlers::Command_CLOSE_Click, {"PortOpen=false"}, "close", colours::buttonFace},
        {&PortHandlers::Command_SCAN_Click, scan, "close", colours::buttonFace},
    };
    for (const auto& [click, order, caption, colour] : rows) {
        service.calls.clear();
        (ports.*click)();
        EXPECT_EQ(service.calls, order);
        EXPECT_EQ(view.caption, caption);
        EXPECT_EQ(frame(), colour) << caption;
    }
    for (int i = 0; i < kComPortCount; ++i)
        EXPECT_EQ(view.comEnabled[i], i == 0 || i == 2) << "COM " << i + 1;

    ports.Command_OPEN_Click();
    for (const char* typed : {"19200,e,7,2", "kaputt"}) {
        view.texts[TextBox::Text_SETTINGS] = QString::fromUtf8(typed);
        ports.Command_OPEN_Click();
        EXPECT_EQ(view.caption, QStringLiteral("COM 3  19200,e,7,2")) << typed;
    }
    service.failures[16] = PortFailure::NoPermission;
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
