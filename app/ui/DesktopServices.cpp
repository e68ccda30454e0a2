#include "DesktopServices.hpp"

#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <QWidget>

namespace corvaline::ui {

namespace {

UrlOpener& urlOpener() {
    static UrlOpener opener;
    return opener;
}

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
    services.revealFile = [window](const std::filesystem::path& file) {
        openExternally(
            window,
            QUrl::fromLocalFile(QFileInfo(QString::fromStdString(file.string())).absolutePath()));
    };
    services.openFolder = [window](const std::filesystem::path& folder) {
        openExternally(window, QUrl::fromLocalFile(QString::fromStdString(folder.string())));
    };
    return services;
}

void setUrlOpener(UrlOpener opener) {
    urlOpener() = std::move(opener);
}

void openExternally(QWidget* parent, const QUrl& url) {
    const bool folder = url.isLocalFile();
    const QString shown = folder ? QDir::toNativeSeparators(url.toLocalFile()) : url.toString();
    // A folder that is not there would be handed on and fail out of sight.
    const bool missing = folder && !QFileInfo(url.toLocalFile()).isDir();
    const UrlOpener& opener = urlOpener();
    if (!missing && (opener ? opener(url) : QDesktopServices::openUrl(url))) return;

    QString text;
    if (missing) {
        text = QStringLiteral("The folder \u201c%1\u201d could not be opened: it does not exist.")
                   .arg(shown);
    } else if (folder) {
        text = QStringLiteral(
                   "The folder \u201c%1\u201d could not be opened: no file manager on "
                   "this system took it. Copy its path to open it yourself.")
                   .arg(shown);
    } else {
        text = QStringLiteral(
                   "The link \u201c%1\u201d could not be opened: no web browser on this "
                   "system took it. Copy the link to open it in a browser yourself.")
                   .arg(shown);
    }
    auto* box = new QMessageBox(
        QMessageBox::Warning,
        folder ? QStringLiteral("Could Not Open Folder") : QStringLiteral("Could Not Open Link"),
        text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPushButton* copy =
        box->addButton(folder ? QStringLiteral("Copy Path") : QStringLiteral("Copy Link"),
                       QMessageBox::ActionRole);
    // Copying is all the box is for: it closes with it.
    QObject::connect(copy, &QPushButton::clicked, box, [box, shown] {
        QGuiApplication::clipboard()->setText(shown);
        box->close();
    });
    box->setDefaultButton(copy);
    box->open();
}

}  // namespace corvaline::ui
