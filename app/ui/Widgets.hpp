#pragma once
// Small builders for the window's recurring pieces: headings, captions, badges, cards and
// link buttons.

#include <QLabel>
#include <QString>

class QFrame;
class QLabel;
class QPushButton;
class QVBoxLayout;
class QWidget;

namespace corvaline::ui {

/// An all-caps section heading ("MONITOR OUTPUT").
QLabel* heading(const QString& text, QWidget* parent);
/// A secondary-coloured caption.
QLabel* caption(const QString& text, QWidget* parent);
/// A small outlined badge ("LOCAL PROCESSING"); `warning` draws it in the warning colour.
QLabel* badge(const QString& text, QWidget* parent, bool warning = false);
/// A flat link-styled button.
QPushButton* linkButton(const QString& text, QWidget* parent);
/// A one-line label that elides its text on the right when it is narrower than the text
/// (the full text stays in the tooltip); it never widens its layout.
class ElidedLabel : public QLabel {
  public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    void setFullText(const QString& text);
    QString fullText() const { return full_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void elide();
    QString full_;
};

/// A rounded panel with a vertical layout (returned through `layout`).
QFrame* card(QWidget* parent, QVBoxLayout** layout);

/// Makes the value controls (sliders, spin boxes, pickers) under `root` leave the mouse wheel
/// to the scroll area around them unless they have the keyboard focus: scrolling a panel of
/// controls never changes a setting the pointer happens to pass over. A click gives a
/// control the focus, and then its wheel works as usual.
void leaveWheelToScrolling(QWidget* root);

}  // namespace corvaline::ui
