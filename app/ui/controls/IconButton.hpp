#pragma once
// `IconButton`: a flat tool button showing a bundled icon, with the help text as its tooltip
// and accessible name.

#include <QToolButton>

#include "Icons.hpp"

namespace corvaline::ui {

class IconButton : public QToolButton {
    Q_OBJECT
  public:
    IconButton(const QString& symbol, const QString& help, QWidget* parent = nullptr)
        : QToolButton(parent) {
        setIcon(icons::icon(symbol));
        setIconSize({16, 16});
        setHelp(help);
        setAutoRaise(false);
        setCursor(Qt::PointingHandCursor);
    }
    /// Tooltip and accessible name (the help text may change with the state).
    void setHelp(const QString& help) {
        setToolTip(help);
        setAccessibleName(help);
    }
};

}  // namespace corvaline::ui
