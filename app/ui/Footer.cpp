#include "Footer.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <algorithm>

#include "Theme.hpp"
#include "Widgets.hpp"
#include "controls/IconButton.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::ui {

Footer::Footer(app::AppState& state, QWidget* parent) : QWidget(parent), state_(state) {
    theme::setRole(this, "panel");
    setAttribute(Qt::WA_StyledBackground);
    setFixedHeight(34);
    auto* h = new QHBoxLayout(this);
    h->setContentsMargins(12, 4, 12, 4);
    status_ = new QLabel(this);
    status_->setAccessibleName(QStringLiteral("Status"));
    status_->setMinimumWidth(260);
    h->addWidget(status_);
    progress_ = new QProgressBar(this);
    progress_->setRange(0, 1000);
    progress_->setTextVisible(false);
    progress_->setFixedWidth(220);
    progress_->setAccessibleName(QStringLiteral("Progress"));
    h->addWidget(progress_);
    cancel_ = new IconButton(QStringLiteral("xmark"), QStringLiteral("Cancel operation"), this);
    connect(cancel_, &QToolButton::clicked, &state_, &app::AppState::cancel);
    h->addWidget(cancel_);
    h->addStretch();
    pending_ = badge(QStringLiteral("AI PREVIEW PENDING"), this, true);
    changed_ = badge(QStringLiteral("AI SETTINGS CHANGED"), this, true);
    h->addWidget(pending_);
    h->addWidget(changed_);
    auto* tag = new QLabel(QStringLiteral("LINUX  ·  OFFLINE AUDIO"), this);
    theme::setRole(tag, "tag");
    h->addWidget(tag);
}

bool Footer::previewPending(const app::AppState& state) {
    return state.settings().isolation && !state.preview().has_value();
}

bool Footer::settingsChanged(const app::AppState& state) {
    return state.preview().has_value() && !state.previewCurrent();
}

void Footer::refresh() {
    status_->setText(state_.status());
    const bool busy = state_.busy();
    progress_->setVisible(busy);
    cancel_->setVisible(busy);
    progress_->setValue(int(std::clamp(state_.progress(), 0.0, 1.0) * 1000));
    pending_->setVisible(previewPending(state_));
    changed_->setVisible(settingsChanged(state_));
}

}  // namespace corvaline::ui
