#include "port_handlers.h"

#include "formatting.h"
#include "port_texts.h"

#include <utility>

namespace serial {

PortHandlers::PortHandlers(MainWindowView& view, SerialLineService& service, MessageBox& messages,
                           QLocale locale)
    : view_(view), MSComm1(service), messages_(messages), locale_(std::move(locale))
{
}

// The last selected option wins; 0 when none is.
std::int16_t PortHandlers::chosenPort() const
{
    std::int16_t port = 0;
    for (int i = 0; i < kComPortCount; ++i)
        if (view_.optionValue(OptionArray::Option_COMPORT, i))
            port = static_cast<std::int16_t>(i + 1);
    return port;
}

void PortHandlers::Command_OPEN_Click()
{
    const std::int16_t port = chosenPort();
    MSComm1.setPortOpen(false);
    MSComm1.setSettings(view_.text(TextBox::Text_SETTINGS));
    MSComm1.setDTREnable(view_.checkValue(CheckBox::Check_DTR) == 1);
    MSComm1.setRTSEnable(view_.checkValue(CheckBox::Check_RTS) == 1);
    MSComm1.setCommPort(port);
    MSComm1.setPortOpen(true);

    const bool opened = MSComm1.PortOpen();
    explainPort(port, opened);
    if (opened) {
        view_.setBackColor(ColouredControl::Frame_OPEN, colours::lightGreen);
        view_.setCaption(QStringLiteral("COM ") + measurement::integerText(MSComm1.CommPort(), locale_) +
                         QStringLiteral("  ") + MSComm1.Settings());
    } else {
        view_.setBackColor(ColouredControl::Frame_OPEN, colours::buttonFace);
        messages_.MsgBox(QStringLiteral("COM ") + measurement::integerText(port, locale_) +
                         QStringLiteral(" kann nicht geöffnet werden"));
    }
}

void PortHandlers::Command_CLOSE_Click()
{
    MSComm1.setPortOpen(false);
    if (!MSComm1.PortOpen())
        view_.setBackColor(ColouredControl::Frame_OPEN, colours::buttonFace);
    view_.setCaption(QStringLiteral("close"));
}

void PortHandlers::Command_SCAN_Click()
{
    Command_CLOSE_Click();
    MSComm1.setPortOpen(false);
    for (int i = 0; i < kComPortCount; ++i) {
        const auto port = static_cast<std::int16_t>(i + 1);
        MSComm1.setCommPort(port);
        MSComm1.setPortOpen(true);
        const bool opened = MSComm1.PortOpen();
        view_.setOptionEnabled(OptionArray::Option_COMPORT, i, opened);
        explainPort(port, opened);
        MSComm1.setPortOpen(false);
    }
}

void PortHandlers::MSComm1_OnPortLost()
{
    view_.setBackColor(ColouredControl::Frame_OPEN, colours::buttonFace);
    view_.setCaption(QStringLiteral("close"));
}

void PortHandlers::showPortDevices()
{
    const bool anyOpen = MSComm1.PortOpen();
    for (int i = 0; i < kComPortCount; ++i) {
        const auto port = static_cast<std::int16_t>(i + 1);
        explainPort(port, anyOpen && MSComm1.CommPort() == port);
    }
}

// The tooltip is the one place that says what stands behind a COM number and
// why it cannot be opened.
void PortHandlers::explainPort(std::int16_t port, bool isOpenPort)
{
    if (port < 1 || port > kComPortCount)
        return;
    view_.setOptionToolTip(OptionArray::Option_COMPORT, port - 1,
                           portToolTip(MSComm1.portInfo(port),
                                       isOpenPort ? std::optional(MSComm1.lineCapability()) : std::nullopt));
}

}  // namespace serial
