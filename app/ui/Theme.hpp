#pragma once
// The window's dark appearance: palette, style sheet and the few named colours the custom
// views draw with. The same on every desktop: Fusion style, our own palette and icons.

#include <QColor>
#include <QFont>

class QApplication;
class QWidget;

namespace corvaline::ui::theme {

inline const QColor background{0x14, 0x17, 0x1c};  ///< window
inline const QColor panel{0x1b, 0x1f, 0x26};       ///< sidebar, inspector, cards
inline const QColor raised{0x24, 0x29, 0x32};      ///< fields, buttons
inline const QColor border{0x2f, 0x36, 0x41};
inline const QColor text{0xd9, 0xde, 0xe7};
inline const QColor secondaryText{0x8b, 0x95, 0xa5};
inline const QColor accent{0x35, 0xc2, 0xb0};     ///< waveforms, switches, selection
inline const QColor processed{0x5b, 0x8c, 0xff};  ///< the rendered preview over the source
inline const QColor warning{0xff, 0x9f, 0x43};    ///< meters at or near full scale
inline const QColor danger{0xff, 0x5d, 0x5d};
inline const QColor meterBar{0x4c, 0xc3, 0x8a};
inline const QColor playhead{0xff, 0xd1, 0x66};

/// Applies Fusion, the dark palette and the style sheet to the whole application.
void apply(QApplication& app);

/// A small all-caps heading font ("SESSION", "MONITOR OUTPUT").
QFont headingFont();
/// The monospaced digits of the time display and readouts.
QFont clockFont(int pointSize = 15);

/// Marks `widget` for the style sheet's role selectors ("badge", "tag", "heading", ...).
void setRole(QWidget* widget, const char* role);

}  // namespace corvaline::ui::theme
