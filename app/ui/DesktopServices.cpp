#include "DesktopServices.hpp"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>
#include <QWidget>

namespace corvaline::ui {

namespace {
QString join(const std::vector<std::string>& patterns) {
    QStringList list;
    for (const auto& p : patterns)
        list << QString::fromStdString(p);
    list.removeDuplicates();
    return list.join(QLatin1Char(' '));
}
}  // namespace

QStringList importNameFilters(const std::vector<MediaImport::ContentType>& types) {
    QStringList filters;
    std::vector<std::string> all;
    for (const auto& type : types)
        all.insert(all.end(), type.patterns.begin(), type.patterns.end());
    filters << QStringLiteral("All supported files (%1)").arg(join(all));
    for (const auto& type : types)
        filters << QStringLiteral("%1 (%2)").arg(QString::fromStdString(type.name),
                                                 join(type.patterns));
    return filters;
}

std::unique_ptr<QFileDialog> exportDialog(QWidget* window, const QString& suggestedName) {
    // A bare name starts in the Music folder, or the home folder when there is none.
    QString start = suggestedName;
    if (!QFileInfo(suggestedName).isAbsolute()) {
        QDir folder(QStandardPaths::writableLocation(QStandardPaths::MusicLocation));
        if (!folder.exists()) folder = QDir::home();
        start = folder.filePath(suggestedName);
    }
    auto dialog = std::make_unique<QFileDialog>(window, QStringLiteral("Export WAV"), start,
                                                QStringLiteral("WAV audio (*.wav)"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    // Added before the replace question, not after it (a name typed without ".wav" used to
    // replace an existing WAV of that name unasked).
    dialog->setDefaultSuffix(QStringLiteral("wav"));
    dialog->selectFile(start);
    return dialog;
}

app::PlatformServices desktopServices(QWidget* window) {
    app::PlatformServices services;
    services.openPanel = [window](const QString& title,
                                  const std::vector<MediaImport::ContentType>& types) {
        const QStringList chosen = QFileDialog::getOpenFileNames(
            window, title, QStandardPaths::writableLocation(QStandardPaths::MusicLocation),
            importNameFilters(types).join(QStringLiteral(";;")));
        std::vector<std::filesystem::path> files;
        for (const auto& f : chosen)
            files.emplace_back(f.toStdString());
        return files;
    };
    services.savePanel =
        [window](const QString& suggestedName) -> std::optional<std::filesystem::path> {
        const auto dialog = exportDialog(window, suggestedName);
        if (dialog->exec() != QDialog::Accepted) return std::nullopt;
        const QStringList chosen = dialog->selectedFiles();
        if (chosen.isEmpty() || chosen.front().isEmpty()) return std::nullopt;
        return std::filesystem::path(chosen.front().toStdString());
    };
    // Without a portable way to select a file in every file manager, show its folder.
    services.revealFile = [](const std::filesystem::path& file) {
        QDesktopServices::openUrl(
            QUrl::fromLocalFile(QFileInfo(QString::fromStdString(file.string())).absolutePath()));
    };
    services.openFolder = [](const std::filesystem::path& folder) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder.string())));
    };
    return services;
}

}  // namespace corvaline::ui
