#include "verlauf.h"

#include "formatting.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <qcustomplot.h>

#include <algorithm>
#include <cmath>

namespace window {
namespace {

using measurement::Averaging;

// A tick this close to the view's right edge counts as at it.
constexpr double kEdgeSeconds = 1.5;
// The shortest span "Alles" shows, so the first seconds are not stretched.
constexpr double kShortestRun = 60;

const std::array<std::pair<const char*, Averaging>, 4> kAveraging = {{{"1 s", Averaging::OneSecond},
                                                                      {"10 s", Averaging::TenSeconds},
                                                                      {"1 min", Averaging::OneMinute},
                                                                      {"10 min", Averaging::TenMinutes}}};
const std::array<std::pair<const char*, const char*>, 7> kStatistics = {{{"lblN", "Sekunden n"},
                                                                         {"lblImpulse", "Impulse"},
                                                                         {"lblMittelwert", "Mittelwert"},
                                                                         {"lblS", "Standardabweichung s"},
                                                                         {"lblMin", "Kleinste Frequenz"},
                                                                         {"lblMax", "Größte Frequenz"},
                                                                         {"lblSE", "Standardfehler s/√n"}}};

QCPItemStraightLine* straightLine(QCustomPlot* chart, const QPen& pen)
{
    auto* line = new QCPItemStraightLine(chart);
    line->setPen(pen);
    line->setSelectable(false);
    return line;
}

void setData(QCPGraph* graph, const std::vector<measurement::ChartPoint>& points, double factor)
{
    QVector<QCPGraphData> data;
    data.reserve(static_cast<qsizetype>(points.size()));
    for (const auto& point : points)
        data.push_back({point.time, point.value * factor});
    graph->data()->set(data, true);
}

}  // namespace

VERLAUF::VERLAUF(const measurement::History& history, QWidget* parent)
    : QWidget(parent, Qt::Window), history_(history), chart_(new QCustomPlot(this))
{
    setObjectName(QStringLiteral("VERLAUF"));
    setWindowTitle(QStringLiteral("Verlauf"));
    chart_->setObjectName(QStringLiteral("Diagramm"));
    chart_->setAccessibleName(QStringLiteral("Verlauf der Frequenz"));
    chart_->setMinimumSize(560, 280);
    auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
    ticker->setDateTimeFormat(QStringLiteral("dd.MM.\nHH:mm:ss"));
    chart_->xAxis->setTicker(ticker);
    chart_->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    // Thousands of points: lines and shading without antialiasing draw several times faster.
    chart_->setPlottingHints(QCP::phFastPolylines | QCP::phCacheLabels);
    chart_->setNotAntialiasedElements(QCP::aePlottables | QCP::aeItems);
    chart_->axisRect()->setRangeDrag(Qt::Horizontal);
    chart_->axisRect()->setRangeZoom(Qt::Horizontal);
    chart_->yAxis2->setRange(0, 1);
    frequency_ = chart_->addGraph();
    frequency_->setName(QStringLiteral("Frequenz"));
    frequency_->setPen(QPen(QColor(30, 90, 200)));
    average_ = chart_->addGraph();
    average_->setName(QStringLiteral("Mittelwert"));
    average_->setPen(QPen(QColor(220, 110, 0), 2));
    chart_->legend->setVisible(true);
    chart_->legend->setBrush(QColor(255, 255, 255, 200));
    chart_->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignLeft | Qt::AlignTop);
    fMax_ = straightLine(chart_, QPen(Qt::darkGreen, 1, Qt::DashLine));
    fMin_ = straightLine(chart_, QPen(Qt::darkRed, 1, Qt::DashLine));
    connect(chart_->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this, [this](const QCPRange& range) {
        following_ = history_.size() == 0 || range.upper >= history_.time(history_.size() - 1) - kEdgeSeconds;
        refresh();
    });

    averaging_ = new QComboBox(this);
    averaging_->setObjectName(QStringLiteral("cboMittelung"));
    averaging_->setAccessibleName(QStringLiteral("Mittelung"));
    for (const auto& [caption, span] : kAveraging)
        averaging_->addItem(QString::fromUtf8(caption), static_cast<int>(span));
    averaging_->setCurrentIndex(2);
    perMinute_ = new QCheckBox(QStringLiteral("Impulse pro Minute"), this);
    perMinute_->setObjectName(QStringLiteral("chkProMinute"));
    auto* all = new QPushButton(QStringLiteral("Alles"), this);
    all->setObjectName(QStringLiteral("cmdAlles"));
    connect(averaging_, &QComboBox::currentIndexChanged, this, [this] { refresh(); });
    connect(perMinute_, &QCheckBox::toggled, this, [this] { refresh(); });
    connect(all, &QPushButton::clicked, this, [this] { showAll(); });

    auto* controls = new QHBoxLayout;
    auto* averagingLabel = new QLabel(QStringLiteral("&Mittelung"), this);
    averagingLabel->setBuddy(averaging_);
    controls->addWidget(averagingLabel);
    controls->addWidget(averaging_);
    controls->addWidget(perMinute_);
    controls->addStretch();
    controls->addWidget(all);
    auto* numbers = new QFormLayout;
    for (std::size_t i = 0; i < kStatistics.size(); ++i) {
        auto* value = new QLabel(this);
        value->setObjectName(QString::fromUtf8(kStatistics[i].first));
        value->setAccessibleName(QString::fromUtf8(kStatistics[i].second));
        value->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        numbers->addRow(QString::fromUtf8(kStatistics[i].second), value);
        statistics_[i] = value;
    }
    file_ = new QLabel(this);
    file_->setObjectName(QStringLiteral("lblDatei"));
    file_->setWordWrap(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(chart_, 1);
    layout->addLayout(controls);
    layout->addLayout(numbers);
    layout->addWidget(file_);
    setRecordingFile(QString());
    showAll();
}

void VERLAUF::setRecordingFile(const QString& name)
{
    file_->setText(name.isEmpty() ? QStringLiteral("Keine Aufzeichnung") : QStringLiteral("Aufzeichnung in ") + name);
}

void VERLAUF::showAll()
{
    const double end = history_.size() ? history_.time(history_.size() - 1)
                                       : static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000;
    const double start = history_.size() ? history_.time(0) : end;
    chart_->xAxis->setRange(std::min(start, end - kShortestRun), end);
}

// Following a long run, one tick moves the chart by far less than a pixel:
// until the new ticks make up one, only the numbers change.
void VERLAUF::tickAdded()
{
    if (!isVisible() || history_.size() == 0)
        return;
    const QCPRange range = chart_->xAxis->range();
    const double newest = history_.time(history_.size() - 1);
    if (!following_) {
        if (range.upper >= newest)
            refresh();
        return;
    }
    const double perPixel = range.size() / std::max(1, chart_->axisRect()->width());
    if (newest - range.upper < perPixel) {
        const auto [first, last] = history_.between(range.lower, newest);
        showStatistics(first, last);
        if (std::pair{history_.latest().FMax, history_.latest().FMin} != drawnLimits_)
            refresh();
    } else if (range.lower <= history_.time(0)) {
        showAll();
    } else {
        chart_->xAxis->setRange(newest - range.size(), newest);
    }
}

void VERLAUF::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    showAll();
    refresh();  // hidden, the window followed nothing, and the range may be the same
}

void VERLAUF::refresh()
{
    if (!isVisible())
        return;
    const QCPRange range = chart_->xAxis->range();
    const auto [first, last] = history_.between(range.lower, range.upper);
    // One tick beyond each edge, so the lines run to the chart's border.
    const std::size_t from = first > 0 ? first - 1 : 0;
    const std::size_t to = std::min(last + 1, history_.size());
    const auto buckets = static_cast<std::size_t>(std::max(chart_->axisRect()->width(), 100));
    const double factor = perMinute_->isChecked() ? 60 : 1;

    const auto frequency = history_.envelope(from, to, buckets);
    setData(frequency_, frequency, factor);
    setData(average_, history_.envelope(from, to, buckets, static_cast<Averaging>(averaging_->currentData().toInt())),
            factor);
    // Shaded as rectangles: Qt fills one polygon of many steps in quadratic time.
    const auto spans = history_.activeSpans(from, to, range.size() / static_cast<double>(buckets));
    for (; activeSpans_.size() > spans.size(); activeSpans_.pop_back())
        chart_->removeItem(activeSpans_.back());
    while (activeSpans_.size() < spans.size()) {
        auto* shade = new QCPItemRect(chart_);
        shade->setLayer(QStringLiteral("grid"));
        shade->setPen(Qt::NoPen);
        shade->setBrush(QColor(0, 200, 0, 45));
        shade->setSelectable(false);
        for (auto* corner : {shade->topLeft, shade->bottomRight})
            corner->setAxes(chart_->xAxis, chart_->yAxis2);
        activeSpans_.push_back(shade);
    }
    for (std::size_t i = 0; i < spans.size(); ++i) {
        activeSpans_[i]->topLeft->setCoords(spans[i].first, 1);
        activeSpans_[i]->bottomRight->setCoords(spans[i].second, 0);
    }

    // Primed FMax and FMin lie outside each other until an active second sets both.
    const auto& latest = history_.latest();
    drawnLimits_ = {latest.FMax, latest.FMin};
    double top = 1;
    for (const auto& point : frequency)
        top = std::max(top, point.value * factor);
    for (auto [line, value] : {std::pair{fMax_, latest.FMax}, {fMin_, latest.FMin}}) {
        line->setVisible(latest.FMax >= latest.FMin);
        line->point1->setCoords(range.lower, value * factor);
        line->point2->setCoords(range.upper, value * factor);
        if (line->visible())
            top = std::max(top, value * factor);
    }
    chart_->yAxis->setRange(0, top * 1.1);
    chart_->yAxis->setLabel(perMinute_->isChecked() ? QStringLiteral("Impulse pro Minute") : QStringLiteral("Hz"));

    const std::vector<double> resets = history_.resetTimes();
    while (resetMarks_.size() < resets.size())
        resetMarks_.push_back(straightLine(chart_, QPen(Qt::black, 1, Qt::DotLine)));
    for (std::size_t i = 0; i < resets.size(); ++i) {
        resetMarks_[i]->point1->setCoords(resets[i], 0);
        resetMarks_[i]->point2->setCoords(resets[i], 1);
    }
    showStatistics(first, last);
    chart_->replot(QCustomPlot::rpQueuedReplot);
}

void VERLAUF::showStatistics(std::size_t first, std::size_t last)
{
    const QLocale locale;
    const bool perMinute = perMinute_->isChecked();
    const auto s = history_.statistics(first, last).scaled(perMinute ? 60 : 1);
    const QString unit = perMinute ? QStringLiteral(" /min") : QStringLiteral(" Hz");
    const auto fraction = [&](double value) { return s.n ? locale.toString(value, 'f', 3) + unit : QString(); };
    const auto whole = [&](double value) { return s.n ? measurement::numberText(value, locale) + unit : QString(); };
    const QString texts[] = {measurement::numberText(static_cast<double>(s.n), locale),
                             measurement::numberText(s.pulses, locale),
                             fraction(s.mean),
                             s.n > 1 ? fraction(s.s) : QString(),
                             whole(s.lowest),
                             whole(s.highest),
                             s.n > 1 ? fraction(s.standardError) : QString()};
    for (std::size_t i = 0; i < statistics_.size(); ++i)
        statistics_[i]->setText(texts[i]);
}

}  // namespace window
