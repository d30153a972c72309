#pragma once

#include "click_sound.h"
#include "desktop_feedback.h"
#include "haupt_view.h"
#include "main_window_view.h"
#include "measurement.h"
#include "port_handlers.h"
#include "recording.h"
#include "serial_line_service.h"

#include <QMainWindow>

#include <functional>
#include <memory>
#include <optional>

class QTimer;

namespace window {
class VERLAUF;
}

// The program's one window. It owns the controls, the measurement, the serial
// line service MSComm1 and Timer1 for its whole life; its event loop runs the
// handlers one at a time. Form_Load has run when the constructor returns.
class HAUPT : public QMainWindow {
    Q_OBJECT

public:
    // `messages` and `beeper` stand in for the modal box and the click of the
    // beep when given; the window keeps using them, so they must outlive it.
    // `tickClock` gives the time of each tick of Timer1; `files` stands in
    // for the save dialog of a recording. `askDebounce` stands in for the
    // dialog of the debounce time: given the ms in force, the ms typed, none
    // when cancelled.
    using AskDebounce = std::function<std::optional<int>(int current)>;
    explicit HAUPT(std::unique_ptr<serial::SerialLineService> service, MessageBox* messages = nullptr,
                   measurement::Beeper* beeper = nullptr,
                   measurement::Measurement::Clock tickClock = std::chrono::steady_clock::now,
                   recording::FileDialog* files = nullptr, AskDebounce askDebounce = {});
    ~HAUPT() override;

    HAUPT(const HAUPT&) = delete;
    HAUPT& operator=(const HAUPT&) = delete;

    MainWindowView& view() { return *view_; }
    const measurement::MeasurementState& state() const { return measurement_.state; }

private:
    window::HauptControls buildDesign();
    void connectHandlers();
    void Form_Load();
    void Menue_Ende_Click();
    void Menue_VERLAUF_Click();
    void keepTick(const measurement::TickRecord& tick);
    void recordingChanged();
    void Menue_ENTPRELLZEIT_Click();

    std::unique_ptr<serial::SerialLineService> MSComm1;
    window::QtMessageBox ownMessages_;
    window::ClickSound ownBeeper_;
    std::unique_ptr<window::HauptView> view_;
    measurement::Measurement measurement_;
    serial::PortHandlers ports_;
    QTimer* Timer1 = nullptr;
    window::QtFileDialog ownFiles_;
    measurement::History history_;
    recording::Recording recording_;
    window::VERLAUF* verlauf_ = nullptr;  // made when first opened
    AskDebounce askDebounce_;
};
