// The custom widgets driven with real mouse events, offscreen.

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QSlider>
#include <QTest>

#include "UiTestApp.hpp"
#include "ui/Theme.hpp"
#include "ui/ViewMath.hpp"
#include "ui/controls/Meters.hpp"
#include "ui/controls/Parameter.hpp"
#include "ui/panel/EqualizerPlot.hpp"
#include "ui/workspace/WaveformView.hpp"

namespace corvaline::ui {
namespace {

TEST(WaveformViewGesture, ReverseDragSelectsTheSameSpanAsTheForwardDrag) {
    WaveformView view;
    view.resize(400, 60);
    view.setSamples(std::vector<float>(1000, 0.5f), 0.5f, 20.0);
    view.setWindow(0, 20);
    view.setSelecting(true);
    view.show();
    std::vector<std::pair<double, double>> selections;
    std::vector<double> seeks;
    view.select = [&](double a, double b) { selections.emplace_back(a, b); };
    view.seek = [&](double t) { seeks.push_back(t); };

    QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(100, 30));
    QTest::mouseMove(&view, QPoint(200, 30));
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(300, 30));
    QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(300, 30));
    QTest::mouseMove(&view, QPoint(200, 30));
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(100, 30));
    ASSERT_EQ(selections.size(), 2u);
    EXPECT_EQ(selections[0], selections[1]);
    EXPECT_DOUBLE_EQ(selections[0].first, 5);
    EXPECT_DOUBLE_EQ(selections[0].second, 15);
    EXPECT_TRUE(seeks.empty());

    // A click (no drag) seeks, also in selection mode; without selection mode a drag seeks
    // to where it ended instead of selecting.
    QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(40, 30));
    ASSERT_EQ(seeks.size(), 1u);
    EXPECT_DOUBLE_EQ(seeks[0], 2);
    view.setSelecting(false);
    QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(100, 30));
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(300, 30));
    EXPECT_EQ(selections.size(), 2u);
    ASSERT_EQ(seeks.size(), 2u);
    EXPECT_DOUBLE_EQ(seeks[1], 15);
}

TEST(EqualizerPlotGesture, DraggingAHandleSelectsAndMovesItsBand) {
    EqualizerPlot plot;
    plot.resize(400, EqualizerPlot::kHeight);
    ProcessingSettings s;
    plot.setSettings(s, 32000);
    plot.show();
    EXPECT_DOUBLE_EQ(plot.maxFrequency(), 14400);
    ASSERT_EQ(plot.curve().size(), 201u);

    QSignalSpy selected(&plot, &EqualizerPlot::bandSelected);
    QSignalSpy moved(&plot, &EqualizerPlot::bandMoved);
    // Band 4 (index 3) is a bell at 650 Hz, 0 dB.
    const QPoint handle = plot.handleCenter(3).toPoint();
    EXPECT_EQ(plot.bandAt(plot.handleCenter(3)), std::optional<int>(3));
    QTest::mousePress(&plot, Qt::LeftButton, {}, handle);
    QTest::mouseMove(&plot, QPoint(400, 25));
    QTest::mouseRelease(&plot, Qt::LeftButton, {}, QPoint(400, 25));
    ASSERT_EQ(selected.count(), 1);
    EXPECT_EQ(selected[0][0].toInt(), 3);
    EXPECT_EQ(plot.selectedBand(), 3);
    ASSERT_GE(moved.count(), 1);
    const auto last = moved.back();
    EXPECT_EQ(last[0].toInt(), 3);
    EXPECT_NEAR(last[1].toDouble(), 14400, 1e-6);  // right edge: the axis' end
    const auto gain = last[2].value<std::optional<double>>();
    ASSERT_TRUE(gain.has_value());
    EXPECT_NEAR(*gain, 12, 1e-9);  // a quarter from the top

    // The high-pass handle moves in frequency only.
    moved.clear();
    const QPoint hp = plot.handleCenter(0).toPoint();
    QTest::mousePress(&plot, Qt::LeftButton, {}, hp);
    QTest::mouseRelease(&plot, Qt::LeftButton, {}, QPoint(200, 5));
    ASSERT_GE(moved.count(), 1);
    EXPECT_FALSE(moved.back()[2].value<std::optional<double>>().has_value());
    EXPECT_NEAR(moved.back()[1].toDouble(), std::sqrt(20.0 * 14400), 1e-6);

    // A press away from every handle does nothing.
    selected.clear();
    QTest::mouseClick(&plot, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_EQ(selected.count(), 0);
}

TEST(Meters, ShowTheirReadingAndWarningColour) {
    MeterView meter(QStringLiteral("L"));
    meter.setLevel(-90);
    EXPECT_EQ(meter.reading(), QStringLiteral("-inf"));
    EXPECT_EQ(meter.barColor(), theme::meterBar);
    meter.setLevel(-0.5);
    EXPECT_EQ(meter.reading(), QStringLiteral("-0.5"));
    EXPECT_EQ(meter.barColor(), theme::warning);

    MiniMeter mini;
    mini.setLevel(-30);
    EXPECT_DOUBLE_EQ(mini.fraction(), 0.5);
    EXPECT_EQ(mini.barColor(), theme::meterBar);
    mini.setLevel(-0.5);
    EXPECT_EQ(mini.barColor(), theme::warning);
}

TEST(ParameterControl, LogarithmicSliderAndFieldReportClampedValues) {
    Parameter frequency(QStringLiteral("Frequency"), 20, 20000, QStringLiteral("Hz"), true, 0);
    QSignalSpy edited(&frequency, &Parameter::edited);
    frequency.setValue(1000);  // showing a value never reports an edit
    EXPECT_EQ(edited.count(), 0);
    frequency.slider()->setValue(frequency.slider()->maximum() / 2);
    ASSERT_EQ(edited.count(), 1);
    EXPECT_NEAR(edited[0][0].toDouble(), std::sqrt(20.0 * 20000), 1e-6);
    frequency.setRange(20, 14400);
    EXPECT_DOUBLE_EQ(frequency.maximum(), 14400);
}

}  // namespace
}  // namespace corvaline::ui
