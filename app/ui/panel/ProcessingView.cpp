#include "ProcessingView.hpp"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "DialogueSection.hpp"
#include "Icons.hpp"
#include "LoudnessSection.hpp"
#include "ModelCatalog.hpp"
#include "Selection.hpp"
#include "SettingBindings.hpp"
#include "Theme.hpp"
#include "ToneSection.hpp"
#include "Widgets.hpp"
#include "controls/Parameter.hpp"
#include "core/models/ModelManager.hpp"

namespace corvaline::ui {

namespace {

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

/// Checkable buttons acting as a segmented picker, `columns` to a row.
QButtonGroup* segmented(const QStringList& labels, QWidget* parent, QGridLayout* grid,
                        int columns) {
    auto* group = new QButtonGroup(parent);
    group->setExclusive(true);
    grid->setSpacing(2);
    for (int i = 0; i < labels.size(); ++i) {
        // "&" would otherwise mark a mnemonic.
        auto* button = new QPushButton(
            QString(labels[i]).replace(QLatin1Char('&'), QStringLiteral("&&")), parent);
        button->setCheckable(true);
        button->setAccessibleName(labels[i]);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        group->addButton(button, i);
        grid->addWidget(button, i / columns, i % columns);
    }
    return group;
}

}  // namespace

ProcessingView::ProcessingView(app::AppState& state, QWidget* parent)
    : QWidget(parent), state_(state), bindings_(std::make_unique<SettingBindings>(state)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    layout->addWidget(buildHeader());
    layout->addWidget(buildModelSettings());
    layout->addWidget(buildSectionPicker());
    tone_ = new ToneSection(*bindings_, this);
    dialogue_ = new DialogueSection(*bindings_, this);
    loudness_ = new LoudnessSection(*bindings_, this);
    // Tone first, as the "Processing" overview reads top to bottom: EQ, dynamics, dialogue,
    // loudness.
    layout->addWidget(tone_);
    layout->addWidget(dialogue_);
    layout->addWidget(loudness_);
    showSections();
}

ProcessingView::~ProcessingView() = default;

QWidget* ProcessingView::buildHeader() {
    QVBoxLayout* v = nullptr;
    auto* box = card(this, &v);
    auto* top = new QHBoxLayout;
    top->addWidget(bindings_->flag(Setting::isolation, QStringLiteral("Voice Isolation"), box), 1);
    top->addWidget(badge(QStringLiteral("ON DEVICE"), box));
    v->addLayout(top);
    auto* presets = new QToolButton(box);
    presets->setIcon(icons::icon(QStringLiteral("line.3.horizontal.decrease")));
    presets->setText(QStringLiteral("Presets"));
    presets->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    presets->setPopupMode(QToolButton::InstantPopup);
    presets->setAccessibleName(QStringLiteral("Presets"));
    presets->setToolTip(QStringLiteral("Replace every processing setting with a preset"));
    auto* menu = new QMenu(presets);
    for (const auto& preset : processingPresets()) {
        const ProcessingSettings settings = preset.settings;
        menu->addAction(text(preset.title), this,
                        [this, settings] { state_.editSettings(settings); });
    }
    presets->setMenu(menu);

    auto* modelRow = new QHBoxLayout;
    model_ = new QComboBox(box);
    model_->setAccessibleName(QStringLiteral("Model"));
    model_->setToolTip(QStringLiteral("Restoration model"));
    for (const auto& entry : catalogEntries())
        model_->addItem(entry.name, entry.id);
    connect(model_, &QComboBox::activated, this, [this](int index) {
        const std::string id = model_->itemData(index).toString().toStdString();
        bindings_->edit([&](ProcessingSettings& s) { s.modelID = id; });
    });
    modelRow->addWidget(new QLabel(QStringLiteral("Model"), box));
    modelRow->addWidget(model_, 1);
    modelRow->addWidget(presets);
    v->addLayout(modelRow);
    modelCaption_ = new QLabel(box);
    theme::setRole(modelCaption_, "tag");
    modelCaption_->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    v->addWidget(modelCaption_);

    auto* buttons = new QHBoxLayout;
    previewButton_ = new QPushButton(QStringLiteral("Preview Selection"), box);
    previewButton_->setToolTip(QStringLiteral("Render the selected passage (Ctrl+R)"));
    connect(previewButton_, &QPushButton::clicked, &state_, [this] { state_.render(false); });
    renderButton_ = new QPushButton(QStringLiteral("Render Full File"), box);
    theme::setRole(renderButton_, "primary");
    renderButton_->setToolTip(QStringLiteral("Render the whole recording (Ctrl+Shift+R)"));
    connect(renderButton_, &QPushButton::clicked, &state_, [this] { state_.render(true); });
    buttons->addWidget(previewButton_);
    buttons->addWidget(renderButton_);
    v->addLayout(buttons);
    staleNote_ = caption(QStringLiteral("AI settings changed · last restoration"), box);
    v->addWidget(staleNote_);
    return box;
}

QWidget* ProcessingView::buildModelSettings() {
    auto* holder = new QWidget(this);
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);

    noiseSettings_ = new QWidget(holder);
    auto* nv = new QVBoxLayout(noiseSettings_);
    nv->setContentsMargins(0, 0, 0, 0);
    category_ = new QLabel(noiseSettings_);
    theme::setRole(category_, "heading");
    nv->addWidget(category_);
    nv->addWidget(bindings_->number(Setting::reduction, noiseSettings_));
    layout->addWidget(noiseSettings_);

    sidonSettings_ = new QWidget(holder);
    auto* sv = new QVBoxLayout(sidonSettings_);
    sv->setContentsMargins(0, 0, 0, 0);
    auto* mix = bindings_->number(Setting::originalMix, sidonSettings_, {}, 0);
    mix->setHelp(QStringLiteral(
        "0%: cleaned only. 100%: original only. Adds the actual original waveform before EQ "
        "and dynamics. Adjust live after rendering; no AI rerender is needed."));
    sv->addWidget(mix);
    cleaned_ = caption(QString(), sidonSettings_);
    sv->addWidget(cleaned_);
    qualityRow_ = new QWidget(sidonSettings_);
    auto* qrow = new QGridLayout(qualityRow_);
    qrow->setContentsMargins(0, 0, 0, 0);
    quality_ =
        segmented({QStringLiteral("Standard"), QStringLiteral("Careful")}, qualityRow_, qrow, 2);
    const QString qualityHelp = QStringLiteral(
        "Careful is experimental: more context and speech-feature stitching, about twice the "
        "CPU work. Preview and compare; it may still alter speech. Render again after changing.");
    for (auto* button : quality_->buttons())
        button->setToolTip(qualityHelp);
    connect(quality_, &QButtonGroup::idClicked, this, [this](int id) {
        bindings_->edit(
            [id](ProcessingSettings& s) { s.sidonQuality = allSidonQualities[size_t(id)]; });
    });
    sv->addWidget(qualityRow_);
    referenceCaption_ = caption(QStringLiteral("CPU · Full precision"), sidonSettings_);
    sv->addWidget(referenceCaption_);
    layout->addWidget(sidonSettings_);
    return holder;
}

QWidget* ProcessingView::buildSectionPicker() {
    auto* holder = new QWidget(this);
    holder->setAccessibleName(QStringLiteral("Processing section"));
    auto* grid = new QGridLayout(holder);
    grid->setContentsMargins(0, 0, 0, 0);
    sections_ = segmented({QStringLiteral("Processing"), QStringLiteral("Dialogue & Lav Mics"),
                           QStringLiteral("Tone & Dynamics"), QStringLiteral("Loudness")},
                          holder, grid, 2);
    for (auto* button : sections_->buttons()) {
        QFont f = button->font();
        f.setPointSizeF(8.5);
        button->setFont(f);
        button->setAccessibleDescription(QStringLiteral("Processing section"));
    }
    sections_->button(0)->setChecked(true);
    connect(sections_, &QButtonGroup::idClicked, this, [this](int id) { setSection(Section(id)); });
    return holder;
}

void ProcessingView::setSection(Section section) {
    section_ = section;
    if (auto* button = sections_->button(int(section))) button->setChecked(true);
    showSections();
}

void ProcessingView::showSections() {
    const bool all = section_ == Section::processing;
    tone_->setVisible(all || section_ == Section::tone);
    dialogue_->setVisible(all || section_ == Section::dialogue);
    loudness_->setVisible(all || section_ == Section::loudness);
}

void ProcessingView::refreshLive() {
    tone_->refreshLive();
    dialogue_->refreshLive();
}

QString ProcessingView::modelCaption() const {
    const std::string& id = state_.settings().modelID;
    if (!state_.models().isReady(id)) return QStringLiteral("RUNTIME REQUIRED");
    return QStringLiteral("Full-file render");
}

void ProcessingView::refresh() {
    bindings_->refresh();
    const ProcessingSettings& s = state_.settings();
    const QString id = text(s.modelID);
    {
        const QSignalBlocker block(model_);
        model_->setCurrentIndex(model_->findData(id));
    }
    const QString captionText = modelCaption();
    modelCaption_->setText(captionText);
    const char* role = captionText == QLatin1String("RUNTIME REQUIRED") ? "warningBadge" : "tag";
    if (modelCaption_->property("role").toString() != QLatin1String(role)) {
        theme::setRole(modelCaption_, role);
        modelCaption_->style()->unpolish(modelCaption_);
        modelCaption_->style()->polish(modelCaption_);
    }

    const bool hasFile = selectedRecording(state_) != nullptr;
    const bool idle = !state_.busy();
    previewButton_->setEnabled(hasFile && idle);
    renderButton_->setEnabled(hasFile && idle);
    const auto& rendered = state_.renderedSettings();
    staleNote_->setVisible(state_.preview().has_value() && rendered &&
                           !rendered->sameRestoration(s));

    const bool sidon = isSidonModel(id);
    noiseSettings_->setVisible(!sidon);
    category_->setText(isDemucsModel(id) ? QStringLiteral("VOCAL EXTRACTION")
                                         : QStringLiteral("SPEECH DENOISING"));
    sidonSettings_->setVisible(sidon);
    cleaned_->setText(QStringLiteral("Cleaned %1%").arg(qRound(s.restorationAmount())));
    qualityRow_->setVisible(id == QLatin1String("sidon"));
    if (auto* button = quality_->button(int(s.sidonQuality))) {
        const QSignalBlocker block(quality_);
        button->setChecked(true);
    }
    referenceCaption_->setVisible(id == QLatin1String("sidon-reference"));

    tone_->refresh();
    dialogue_->refresh();
    loudness_->refresh();
}

}  // namespace corvaline::ui
