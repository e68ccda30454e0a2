#include "Widgets.hpp"

#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QEvent>
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

namespace {

class WheelGuard : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Wheel) return false;
        auto* control = qobject_cast<QWidget*>(watched);
        if (!control || control->hasFocus()) return false;
        // Unhandled and ignored: the event goes on to the parents, up to the scroll area.
        event->ignore();
        return true;
    }
};

}  // namespace

void leaveWheelToScrolling(QWidget* root) {
    auto* guard = new WheelGuard(root);
    auto protect = [guard](QWidget* control) {
        // A wheel turn would otherwise give the control the focus, and then the value.
        if (control->focusPolicy() == Qt::WheelFocus) control->setFocusPolicy(Qt::StrongFocus);
        control->installEventFilter(guard);
    };
    for (auto* w : root->findChildren<QAbstractSlider*>())
        protect(w);
    for (auto* w : root->findChildren<QAbstractSpinBox*>())
        protect(w);
    for (auto* w : root->findChildren<QComboBox*>())
        protect(w);
}

}  // namespace corvaline::ui
