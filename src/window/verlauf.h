#pragma once

#include "history.h"

#include <QWidget>

#include <array>

class QCheckBox;
class QComboBox;
class QCPGraph;
class QCPItemRect;
class QCPItemStraightLine;
class QCustomPlot;
class QLabel;

namespace window {

// The history window "Verlauf": every tick's frequency against date and time
// with its average over a chosen time, and the statistics of the ticks in view
// since the last "C". It only reads the history, and draws only what is in
// view, thinned to the chart's width, so a week costs no more than a minute.
// Closing it hides it.
class VERLAUF : public QWidget {
    Q_OBJECT

public:
    VERLAUF(const measurement::History& history, QWidget* parent);

    // A tick was added: a view at its right edge moves along with it.
    void tickAdded();
    // The file being recorded, empty for none.
    void setRecordingFile(const QString& name);
    // "Alles": the whole run, following new ticks.
    void showAll();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();
    void showStatistics(std::size_t first, std::size_t last);

    const measurement::History& history_;
    QCustomPlot* chart_;
    QCPGraph* frequency_;
    QCPGraph* average_;
    QCPItemStraightLine* fMax_;
    QCPItemStraightLine* fMin_;
    std::vector<QCPItemStraightLine*> resetMarks_;
    std::vector<QCPItemRect*> activeSpans_;  // the seconds the min/max window was active
    QComboBox* averaging_;
    QCheckBox* perMinute_;
    QLabel* file_;
    std::array<QLabel*, 7> statistics_{};
    // Whether the view's right edge is at the newest tick, so it moves along.
    bool following_ = true;
    std::pair<double, double> drawnLimits_;  // FMax and FMin as drawn
};

}  // namespace window
