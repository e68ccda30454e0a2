#pragma once
// The processing inspector: Voice Isolation with the model picker, presets and the render
// buttons, the model's settings, the section picker and the sections (Equalizer, Compressor,
// Limiter, dialogue and lav controls, loudness). View-local state: the selected section and
// the selected EQ band.

#include <QWidget>
#include <memory>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QToolButton;

namespace corvaline::app {
class AppState;
}

namespace corvaline::ui {

class DialogueSection;
class LoudnessSection;
class Parameter;
class SettingBindings;
class ToneSection;

class ProcessingView : public QWidget {
    Q_OBJECT
  public:
    /// The section picker's entries, in order.
    enum class Section { processing, dialogue, tone, loudness };

    explicit ProcessingView(app::AppState& state, QWidget* parent = nullptr);
    ~ProcessingView() override;

    void refresh();
    /// Reduction meters and leveler readouts only.
    void refreshLive();
    Section section() const { return section_; }
    void setSection(Section section);
    ToneSection* tone() const { return tone_; }

    /// The caption under the model picker: "RUNTIME REQUIRED" when the chosen model cannot
    /// run yet, "Full-file render" otherwise.
    QString modelCaption() const;

  private:
    QWidget* buildHeader();
    QWidget* buildModelSettings();
    QWidget* buildSectionPicker();
    void showSections();

    app::AppState& state_;
    std::unique_ptr<SettingBindings> bindings_;
    Section section_ = Section::processing;

    QComboBox* model_ = nullptr;
    QLabel* modelCaption_ = nullptr;
    QPushButton* previewButton_ = nullptr;
    QPushButton* renderButton_ = nullptr;
    QLabel* staleNote_ = nullptr;
    QWidget* noiseSettings_ = nullptr;
    QLabel* category_ = nullptr;
    QWidget* sidonSettings_ = nullptr;
    QLabel* cleaned_ = nullptr;
    QWidget* qualityRow_ = nullptr;
    QButtonGroup* quality_ = nullptr;
    QLabel* referenceCaption_ = nullptr;
    QButtonGroup* sections_ = nullptr;
    ToneSection* tone_ = nullptr;
    DialogueSection* dialogue_ = nullptr;
    LoudnessSection* loudness_ = nullptr;
};

}  // namespace corvaline::ui
