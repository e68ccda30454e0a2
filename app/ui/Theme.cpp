#include "Theme.hpp"

#include <QApplication>
#include <QFontDatabase>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>

namespace corvaline::ui::theme {

namespace {

const char* kStyleSheet = R"(
QWidget { color: #d9dee7; }
QMainWindow, QDialog { background: #14171c; }
QWidget[role="panel"] { background: #1b1f26; }
QWidget[role="card"] { background: #1b1f26; border: 1px solid #2f3641; border-radius: 6px; }
QLabel[role="heading"] { color: #8b95a5; font-size: 8.5pt; font-weight: 600; letter-spacing: 1px; }
QLabel[role="secondary"] { color: #8b95a5; }
QLabel[role="title"] { font-size: 13pt; font-weight: 600; }
QLabel[role="badge"] { color: #35c2b0; border: 1px solid #2a6f66; border-radius: 4px;
                       padding: 1px 6px; font-size: 8pt; font-weight: 600; }
QLabel[role="warningBadge"] { color: #ff9f43; border: 1px solid #7a5228; border-radius: 4px;
                              padding: 1px 6px; font-size: 8pt; font-weight: 600; }
QLabel[role="tag"] { color: #8b95a5; font-size: 8pt; font-weight: 600; letter-spacing: 1px; }
QLabel[role="caption"] { color: #8b95a5; font-size: 8.5pt; }
QLabel[role="verdictPass"] { color: #4cc38a; font-weight: 600; }
QLabel[role="verdictFail"] { color: #ff9f43; font-weight: 600; }
QPushButton, QToolButton { background: #24293a; border: 1px solid #2f3641; border-radius: 5px;
                           padding: 4px 10px; }
QToolButton { padding: 3px; }
QToolButton[role="flag"] { padding: 0; }
QPushButton:hover, QToolButton:hover { background: #2c3342; }
QPushButton:pressed, QToolButton:pressed, QToolButton:checked, QPushButton:checked {
    background: #1f4a46; border-color: #35c2b0; }
QPushButton:disabled, QToolButton:disabled { color: #5b6472; background: #1d2129; }
QPushButton[role="primary"] { background: #237a70; border-color: #35c2b0; font-weight: 600; }
QPushButton[role="primary"]:hover { background: #2a8e82; }
QPushButton[role="primary"]:disabled { background: #1d2129; border-color: #2f3641; color: #5b6472; }
QPushButton[role="link"] { background: transparent; border: none; color: #5b8cff;
                           padding: 0; text-align: left; }
QPushButton[role="nav"] { background: transparent; border: none; text-align: left;
                          padding: 6px 8px; }
QPushButton[role="nav"]:checked { background: #24293a; }
QLineEdit, QDoubleSpinBox, QSpinBox, QComboBox { background: #24293a; border: 1px solid #2f3641;
                           border-radius: 4px; padding: 2px 6px; min-height: 20px; }
QLineEdit:focus, QDoubleSpinBox:focus, QComboBox:focus { border-color: #35c2b0; }
QLineEdit:disabled, QDoubleSpinBox:disabled, QSpinBox:disabled, QComboBox:disabled {
                           color: #5b6472; background: #1d2129; }
QComboBox QAbstractItemView { background: #24293a; selection-background-color: #1f4a46; }
QListWidget, QListView { background: #1b1f26; border: none; }
QListWidget::item { padding: 6px; border-radius: 4px; }
QListWidget::item:selected { background: #24344a; color: #ffffff; }
QScrollArea { border: none; background: transparent; }
QScrollBar:vertical { background: transparent; width: 9px; }
QScrollBar::handle:vertical { background: #3a4250; border-radius: 4px; min-height: 24px; }
QScrollBar::add-line, QScrollBar::sub-line { height: 0; width: 0; }
QProgressBar { background: #24293a; border: none; border-radius: 3px; max-height: 6px; }
QProgressBar::chunk { background: #35c2b0; border-radius: 3px; }
QSlider::groove:horizontal { height: 4px; background: #2f3641; border-radius: 2px; }
QSlider::sub-page:horizontal { background: #2a8e82; border-radius: 2px; }
QSlider::handle:horizontal { background: #d9dee7; width: 12px; margin: -5px 0; border-radius: 6px; }
QSlider::sub-page:horizontal:disabled { background: #3a414d; }
QSlider::handle:horizontal:disabled { background: #5b6472; }
QCheckBox::indicator { width: 15px; height: 15px; border: 1px solid #4a5363;
                       border-radius: 3px; background: #24293a; }
QCheckBox::indicator:checked { background: #35c2b0; border-color: #35c2b0; }
QCheckBox[role="switch"]::indicator { width: 28px; height: 15px; border-radius: 8px; }
QMenuBar { background: #14171c; }
QMenuBar::item:selected { background: #24293a; }
QMenu { background: #1f232b; border: 1px solid #2f3641; }
QMenu::item:selected { background: #1f4a46; }
QToolTip { color: #d9dee7; background: #24293a; border: 1px solid #3a4250; }
QTextBrowser { background: transparent; border: none; }
)";

}  // namespace

void apply(QApplication& app) {
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette p;
    p.setColor(QPalette::Window, background);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, raised);
    p.setColor(QPalette::AlternateBase, panel);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, raised);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::ToolTipBase, raised);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, secondaryText);
    p.setColor(QPalette::Highlight, QColor(0x1f, 0x4a, 0x46));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, processed);
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x5b, 0x64, 0x72));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x5b, 0x64, 0x72));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x5b, 0x64, 0x72));
    app.setPalette(p);
    app.setStyleSheet(QString::fromLatin1(kStyleSheet));
}

QFont headingFont() {
    QFont font = QApplication::font();
    font.setPointSizeF(8.5);
    font.setWeight(QFont::DemiBold);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 1);
    return font;
}

QFont clockFont(int pointSize) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(pointSize);
    return font;
}

void setRole(QWidget* widget, const char* role) {
    const QString value = QString::fromLatin1(role);
    if (widget->property("role").toString() == value) return;
    widget->setProperty("role", value);
    // The style sheet reads the role when the widget is polished: a shown widget whose role
    // changes is polished again.
    if (widget->testAttribute(Qt::WA_WState_Polished)) {
        widget->style()->unpolish(widget);
        widget->style()->polish(widget);
    }
}

}  // namespace corvaline::ui::theme
