#include "AboutWindow.hpp"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "DesktopServices.hpp"
#include "Icons.hpp"
#include "Theme.hpp"
#include "Widgets.hpp"

namespace corvaline::ui {

AboutWindow::AboutWindow(std::function<void()> openGuide, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Kestrio Corvaline"));
    setObjectName(QStringLiteral("about"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(36, 28, 36, 24);
    layout->setSpacing(8);
    auto center = [&](QWidget* w) {
        layout->addWidget(w, 0, Qt::AlignHCenter);
        return w;
    };
    auto* mark = new QLabel(this);
    mark->setPixmap(icons::applicationIcon().pixmap(84, 84));
    mark->setAccessibleName(QStringLiteral("Kestrio Corvaline"));
    center(mark);
    auto* name = new QLabel(QStringLiteral("Kestrio Corvaline"), this);
    theme::setRole(name, "title");
    center(name);
    auto* version =
        caption(QStringLiteral("Version %1").arg(QApplication::applicationVersion()), this);
    center(version);
    auto* tagline = new QLabel(
        QStringLiteral("Offline dialogue restoration and multichannel audio finishing."), this);
    center(tagline);
    // Short lines, unwrapped: a wrapped label is sized before the style sheet's fonts apply
    // and its last lines were cut.
    auto line = [&](const QString& text) {
        auto* label = caption(text, this);
        label->setWordWrap(false);
        label->setAlignment(Qt::AlignHCenter);
        return center(label);
    };
    line(QStringLiteral("Designed and built by the Kestrio team"));
    center(badge(QStringLiteral("Local processing"), this));
    layout->addSpacing(8);
    center(new QLabel(QStringLiteral("<b>FFmpeg · LGPL 2.1 or later</b>"), this));
    // FFmpeg is the system's: its source and licence come with the distribution's packages.
    line(
        QStringLiteral("Linked from the system's FFmpeg libraries; their source and\n"
                       "license come with the distribution's packages."));
    auto* ffmpeg = linkButton(QStringLiteral("ffmpeg.org"), this);
    ffmpeg->setToolTip(QStringLiteral("https://ffmpeg.org"));
    connect(ffmpeg, &QPushButton::clicked, this,
            [this] { openExternally(this, QUrl(QStringLiteral("https://ffmpeg.org"))); });
    center(ffmpeg);
    layout->addSpacing(10);
    auto* guide = new QPushButton(icons::icon(QStringLiteral("questionmark.circle")),
                                  QStringLiteral("Open User Guide"), this);
    connect(guide, &QPushButton::clicked, this, [this, openGuide] {
        if (openGuide) openGuide();
        accept();
    });
    center(guide);
    // The window follows its content's size, also once the style sheet has been applied.
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace corvaline::ui
