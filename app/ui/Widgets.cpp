#include "Widgets.hpp"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "Theme.hpp"

namespace corvaline::ui {

QLabel* heading(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    theme::setRole(label, "heading");
    return label;
}

QLabel* caption(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    theme::setRole(label, "caption");
    label->setWordWrap(true);
    return label;
}

QLabel* badge(const QString& text, QWidget* parent, bool warning) {
    auto* label = new QLabel(text, parent);
    theme::setRole(label, warning ? "warningBadge" : "badge");
    label->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    return label;
}

QPushButton* linkButton(const QString& text, QWidget* parent) {
    // "&" would otherwise mark a mnemonic ("Sidon source & license").
    auto* button =
        new QPushButton(QString(text).replace(QLatin1Char('&'), QStringLiteral("&&")), parent);
    button->setAccessibleName(text);
    theme::setRole(button, "link");
    button->setCursor(Qt::PointingHandCursor);
    button->setFlat(true);
    return button;
}

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setMinimumWidth(60);
}

void ElidedLabel::setFullText(const QString& text) {
    if (text == full_) return;
    full_ = text;
    setToolTip(text);
    setAccessibleDescription(text);
    elide();
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::elide() {
    setText(fontMetrics().elidedText(full_, Qt::ElideRight, width()));
}

QFrame* card(QWidget* parent, QVBoxLayout** layout) {
    auto* frame = new QFrame(parent);
    theme::setRole(frame, "card");
    auto* v = new QVBoxLayout(frame);
    v->setContentsMargins(10, 8, 10, 10);
    v->setSpacing(6);
    if (layout) *layout = v;
    return frame;
}

}  // namespace corvaline::ui
