#pragma once
// Small builders for the window's recurring pieces: headings, captions, badges, cards and
// link buttons.

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
/// A rounded panel with a vertical layout (returned through `layout`).
QFrame* card(QWidget* parent, QVBoxLayout** layout);

}  // namespace corvaline::ui
