#include "Icons.hpp"

#include <QFile>
#include <QHash>

namespace corvaline::ui::icons {

QString path(const QString& symbol) {
    return QStringLiteral(":/icons/%1.svg").arg(symbol);
}

QIcon icon(const QString& symbol) {
    const QString file = path(symbol);
    if (!QFile::exists(file)) return {};
    return QIcon(file);
}

QString freedesktopName(const QString& symbol) {
    static const QHash<QString, QString> names = {
        {QStringLiteral("plus"), QStringLiteral("list-add")},
        {QStringLiteral("minus.circle"), QStringLiteral("list-remove")},
        {QStringLiteral("square.and.arrow.up"), QStringLiteral("document-save-as")},
        {QStringLiteral("questionmark.circle"), QStringLiteral("help-contents")},
        {QStringLiteral("slider.horizontal.3"), QStringLiteral("preferences-system")},
        {QStringLiteral("repeat"), QStringLiteral("media-playlist-repeat")},
        {QStringLiteral("backward.end.fill"), QStringLiteral("media-skip-backward")},
        {QStringLiteral("minus.magnifyingglass"), QStringLiteral("zoom-out")},
        {QStringLiteral("plus.magnifyingglass"), QStringLiteral("zoom-in")},
        {QStringLiteral("play.fill"), QStringLiteral("media-playback-start")},
        {QStringLiteral("pause.fill"), QStringLiteral("media-playback-pause")},
        {QStringLiteral("xmark"), QStringLiteral("process-stop")},
        {QStringLiteral("trash"), QStringLiteral("edit-delete")},
        {QStringLiteral("folder"), QStringLiteral("folder-open")},
        {QStringLiteral("info.circle"), QStringLiteral("help-about")},
        {QStringLiteral("xmark.circle"), QStringLiteral("process-stop")},
        {QStringLiteral("arrow.down.circle"), QStringLiteral("go-down")},
        {QStringLiteral("arrow.counterclockwise"), QStringLiteral("edit-undo")},
        {QStringLiteral("quit"), QStringLiteral("application-exit")},
        {QStringLiteral("import"), QStringLiteral("document-open")},
    };
    return names.value(symbol);
}

QIcon menuIcon(const QString& symbol) {
    const QString name = freedesktopName(symbol);
    const QIcon bundled = icon(symbol);
    if (name.isEmpty()) return bundled;
    return QIcon::fromTheme(name, bundled);
}

QIcon applicationIcon() {
    return QIcon::fromTheme(QStringLiteral("corvaline"),
                            QIcon(QStringLiteral(":/icons/corvaline.svg")));
}

}  // namespace corvaline::ui::icons
