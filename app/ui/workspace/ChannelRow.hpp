#pragma once
// One channel row: process, mute and solo, the number and name, the waveform and a mini
// meter. Edits go to AppState::setChannel (which runs channelChanged()).

#include <QWidget>

class QCheckBox;
class QLabel;
class QToolButton;

namespace corvaline::app {
class AppState;
}

namespace corvaline::ui {

class MiniMeter;
class WaveformView;

class ChannelRow : public QWidget {
    Q_OBJECT
  public:
    ChannelRow(app::AppState& state, int index, QWidget* parent = nullptr);
    /// Shows channel `index` of the selected recording.
    void refresh();
    void refreshLive();
    WaveformView* waveform() const { return waveform_; }
    QCheckBox* processBox() const { return process_; }
    QToolButton* muteButton() const { return mute_; }
    QToolButton* soloButton() const { return solo_; }

  private:
    void edit(bool process, bool mute, bool solo);

    app::AppState& state_;
    int index_;
    QCheckBox* process_;
    QToolButton* mute_;
    QToolButton* solo_;
    QLabel* number_;
    QLabel* name_;
    WaveformView* waveform_;
    MiniMeter* meter_;
    std::string shownFile_;
    std::string shownPreview_;
};

}  // namespace corvaline::ui
