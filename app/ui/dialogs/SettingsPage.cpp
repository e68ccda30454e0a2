#include "SettingsPage.hpp"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSysInfo>
#include <QUrl>
#include <QVBoxLayout>

#include "DesktopServices.hpp"
#include "Icons.hpp"
#include "ModelCatalog.hpp"
#include "Theme.hpp"
#include "Widgets.hpp"
#include "audiocore/install/ModelCatalog.hpp"
#include "controls/IconButton.hpp"
#include "core/models/ModelManager.hpp"

namespace corvaline::ui {

namespace {

/// The processor the program was built for, as runtime details name it.
QString machine() {
    return QSysInfo::buildCpuArchitecture() == QLatin1String("arm64")
               ? QStringLiteral("aarch64")
               : QSysInfo::buildCpuArchitecture();
}

QLabel* iconLabel(const QString& symbol, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setPixmap(icons::icon(symbol).pixmap(16, 16));
    return label;
}

}  // namespace

SettingsPage::SettingsPage(app::ModelManager& models, QWidget* parent)
    : QWidget(parent), models_(models) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    outer->addWidget(scroll);
    auto* content = new QWidget(scroll);
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(22, 16, 22, 16);
    layout->setSpacing(10);

    auto* top = new QHBoxLayout;
    auto* title = new QLabel(QStringLiteral("Settings"), content);
    theme::setRole(title, "title");
    top->addWidget(title, 1);
    auto* folder = new QPushButton(icons::icon(QStringLiteral("folder")),
                                   QStringLiteral("Model Folder"), content);
    folder->setToolTip(QStringLiteral("Open the model folder in the file manager"));
    connect(folder, &QPushButton::clicked, &models_, &app::ModelManager::reveal);
    top->addWidget(folder);
    layout->addLayout(top);
    message_ = caption(QString(), content);
    message_->setAccessibleName(QStringLiteral("Installation status"));
    layout->addWidget(message_);

    layout->addWidget(heading(QStringLiteral("MODEL LIBRARY"), content));
    for (const auto& entry : catalogEntries())
        layout->addWidget(buildModelRow(entry, content));

    layout->addSpacing(6);
    layout->addWidget(heading(QStringLiteral("RUNTIMES"), content));
    layout->addWidget(
        buildRuntimeRow(QStringLiteral("Native Speech Runtime"),
                        QStringLiteral("DeepFilterNet · %1 · MIT / Apache-2.0").arg(machine()),
                        QString(), nullptr, content));
    auto* demucs = new QPushButton(content);
    connect(demucs, &QPushButton::clicked, &models_, &app::ModelManager::installDemucs);
    layout->addWidget(buildRuntimeRow(
        QStringLiteral("Demucs Audio Runtime"),
        QStringLiteral("Linux %1 · ~650 MB · 2 GB free space required").arg(machine()),
        QString::fromLatin1(app::ModelManager::kDemucsRuntimeID), demucs, content));
    auto* reference = new QPushButton(content);
    connect(reference, &QPushButton::clicked, &models_,
            &app::ModelManager::installReferenceRuntime);
    layout->addWidget(buildRuntimeRow(
        QStringLiteral("Sidon Reference Runtime"),
        QStringLiteral("Private Python · PyTorch CPU · Installed automatically with model"),
        QString::fromLatin1(app::ModelManager::kReferenceRuntimeID), reference, content));

    layout->addSpacing(6);
    layout->addWidget(heading(QStringLiteral("LICENSES"), content));
    auto* links = new QHBoxLayout;
    const struct {
        const char* title;
        const char* url;
    } licences[] = {
        {"Sidon source & license", "https://github.com/sarulab-speech/Sidon"},
        {"DeepFilterNet licenses", "https://github.com/Rikorose/DeepFilterNet#license"},
        {"Demucs license", "https://github.com/facebookresearch/demucs/blob/main/LICENSE"},
        {"Python runtime licenses", "https://docs.python.org/3/license.html"},
    };
    for (const auto& licence : licences) {
        auto* link = linkButton(QString::fromUtf8(licence.title), content);
        const QUrl url(QString::fromLatin1(licence.url));
        link->setToolTip(url.toString());
        connect(link, &QPushButton::clicked, this, [this, url] { openExternally(this, url); });
        links->addWidget(link);
    }
    links->addStretch();
    layout->addLayout(links);
    layout->addStretch();
    scroll->setWidget(content);
}

QWidget* SettingsPage::buildModelRow(const CatalogEntry& entry, QWidget* parent) {
    QVBoxLayout* v = nullptr;
    auto* box = card(parent, &v);
    auto* grid = new QHBoxLayout;
    v->addLayout(grid);
    auto* info = new QVBoxLayout;
    auto* nameRow = new QHBoxLayout;
    auto* name = new QLabel(QStringLiteral("<b>%1</b>").arg(entry.name.toHtmlEscaped()), box);
    nameRow->addWidget(name);
    if (entry.id == QString::fromStdString(ModelCatalog::defaultModelID()))
        nameRow->addWidget(badge(QStringLiteral("DEFAULT"), box));
    auto* category = new QLabel(entry.category, box);
    theme::setRole(category, "secondary");
    nameRow->addWidget(category);
    nameRow->addStretch();
    info->addLayout(nameRow);
    auto* detail = caption(entry.detail + QStringLiteral("  ·  ") + entry.size, box);
    info->addWidget(detail);
    if (entry.id == QLatin1String("sidon")) {
        auto* builtIn =
            caption(QStringLiteral("Built in: Sidon TorchScript · libtorch · %1 CPU · No Python")
                        .arg(machine()),
                    box);
        info->addWidget(builtIn);
    }
    auto* source = linkButton(QStringLiteral("Source"), box);
    const QUrl url = entry.source;
    source->setToolTip(url.toString());
    connect(source, &QPushButton::clicked, this, [this, url] { openExternally(this, url); });
    info->addWidget(source);
    grid->addLayout(info, 1);

    ModelRow row{};
    row.id = entry.id;
    row.name = entry.name;
    // While this entry installs.
    row.progressArea = new QWidget(box);
    auto* pa = new QHBoxLayout(row.progressArea);
    pa->setContentsMargins(0, 0, 0, 0);
    auto* pv = new QVBoxLayout;
    row.progress = new QProgressBar(row.progressArea);
    row.progress->setTextVisible(false);
    row.progress->setFixedWidth(180);
    row.progress->setAccessibleName(entry.name + QStringLiteral(" installation progress"));
    row.message = caption(QString(), row.progressArea);
    row.message->setFixedWidth(220);
    pv->addWidget(row.progress);
    pv->addWidget(row.message);
    pa->addLayout(pv);
    row.cancel =
        new IconButton(QStringLiteral("xmark.circle"),
                       QStringLiteral("Cancel download or installation"), row.progressArea);
    connect(row.cancel, &QToolButton::clicked, &models_, &app::ModelManager::cancel);
    pa->addWidget(row.cancel);
    grid->addWidget(row.progressArea);
    // Installed and ready.
    row.installedArea = new QWidget(box);
    auto* ia = new QHBoxLayout(row.installedArea);
    ia->setContentsMargins(0, 0, 0, 0);
    ia->addWidget(iconLabel(QStringLiteral("checkmark.circle.fill"), row.installedArea));
    ia->addWidget(new QLabel(QStringLiteral("Installed"), row.installedArea));
    row.remove = new QPushButton(icons::icon(QStringLiteral("trash")),
                                 QStringLiteral("Remove ") + entry.name, row.installedArea);
    const std::string id = entry.id.toStdString();
    connect(row.remove, &QPushButton::clicked, &models_, [this, id] { models_.remove(id); });
    ia->addWidget(row.remove);
    grid->addWidget(row.installedArea);
    // Not installed.
    row.install = new QPushButton(icons::icon(QStringLiteral("arrow.down.circle")),
                                  QStringLiteral("Install"), box);
    row.install->setAccessibleName(QStringLiteral("Install ") + entry.name);
    row.install->setToolTip(QStringLiteral("Download and install ") + entry.name);
    connect(row.install, &QPushButton::clicked, &models_, [this, id] { models_.download(id); });
    grid->addWidget(row.install);
    rows_.push_back(row);
    return box;
}

QWidget* SettingsPage::buildRuntimeRow(const QString& title, const QString& detail,
                                       const QString& activeID, QPushButton* action,
                                       QWidget* parent) {
    QVBoxLayout* v = nullptr;
    auto* box = card(parent, &v);
    auto* h = new QHBoxLayout;
    v->addLayout(h);
    auto* info = new QVBoxLayout;
    info->addWidget(new QLabel(QStringLiteral("<b>%1</b>").arg(title.toHtmlEscaped()), box));
    info->addWidget(caption(detail, box));
    h->addLayout(info, 1);
    RuntimeRow row{};
    row.activeID = activeID;
    row.progress = new QProgressBar(box);
    row.progress->setTextVisible(false);
    row.progress->setFixedWidth(160);
    row.progress->setAccessibleName(title + QStringLiteral(" installation progress"));
    h->addWidget(row.progress);
    row.state = new QLabel(box);
    row.state->setAccessibleName(title + QStringLiteral(" state"));
    h->addWidget(row.state);
    if (action) {
        action->setParent(box);
        h->addWidget(action);
    } else {
        h->addWidget(caption(QStringLiteral("Included with model download"), box));
    }
    row.action = action;
    runtimes_.push_back(row);
    return box;
}

LibraryState LibraryState::of(const app::ModelManager& models) {
    LibraryState state;
    state.installed = models.installed();
    for (const auto& entry : catalogEntries()) {
        const std::string id = entry.id.toStdString();
        if (models.installed().count(id) && models.isReady(id)) state.ready.insert(id);
    }
    state.activeDownload = models.activeDownload();
    state.progress = models.progress();
    state.progressIndeterminate = models.progressIndeterminate();
    state.message = models.message();
    state.runtimeReady = models.runtimeReady();
    state.demucsReady = models.demucsReady();
    state.sidonReferenceReady = models.sidonReferenceReady();
    return state;
}

void SettingsPage::refresh() {
    showLibrary(LibraryState::of(models_));
}

void SettingsPage::showLibrary(const LibraryState& state) {
    const auto& active = state.activeDownload;
    const bool installing = active.has_value();
    message_->setText(state.message);
    message_->setVisible(!state.message.isEmpty());
    for (const auto& row : rows_) {
        const std::string id = row.id.toStdString();
        const bool mine = installing && *active == id;
        const bool ready = !mine && state.ready.count(id);
        row.progressArea->setVisible(mine);
        row.installedArea->setVisible(ready);
        row.install->setVisible(!mine && !ready);
        row.install->setEnabled(!installing);
        row.remove->setEnabled(!installing);
        if (mine) {
            if (state.progressIndeterminate) {
                row.progress->setRange(0, 0);
            } else {
                row.progress->setRange(0, 1000);
                row.progress->setValue(int(state.progress * 1000));
            }
            row.message->setText(state.message);
        }
    }
    const bool ready[] = {state.runtimeReady, state.demucsReady, state.sidonReferenceReady};
    for (size_t i = 0; i < runtimes_.size() && i < 3; ++i) {
        const auto& row = runtimes_[i];
        const bool mine =
            installing && !row.activeID.isEmpty() && *active == row.activeID.toStdString();
        row.progress->setVisible(mine);
        if (mine) {
            if (state.progressIndeterminate) {
                row.progress->setRange(0, 0);
            } else {
                row.progress->setRange(0, 1000);
                row.progress->setValue(int(state.progress * 1000));
            }
        }
        row.state->setText(ready[i] ? QStringLiteral("Ready") : QStringLiteral("Not installed"));
        row.state->setStyleSheet(ready[i] ? QStringLiteral("color:#4cc38a")
                                          : QStringLiteral("color:#8b95a5"));
        if (row.action) {
            row.action->setText(ready[i] ? (i == 1 ? QStringLiteral("Repair audio runtime")
                                                   : QStringLiteral("Repair runtime"))
                                         : QStringLiteral("Install Runtime"));
            row.action->setIcon(icons::icon(ready[i] ? QStringLiteral("wrench.and.screwdriver")
                                                     : QStringLiteral("arrow.down.circle")));
            row.action->setEnabled(!installing);
        }
    }
}

}  // namespace corvaline::ui
