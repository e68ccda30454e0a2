#include "MainWindow.hpp"

#include <QApplication>
#include <QCloseEvent>
#include <QDirIterator>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "Footer.hpp"
#include "Icons.hpp"
#include "Selection.hpp"
#include "Theme.hpp"
#include "ViewMath.hpp"
#include "Widgets.hpp"
#include "audiocore/import/MediaImport.hpp"
#include "core/models/ModelManager.hpp"
#include "dialogs/AboutWindow.hpp"
#include "dialogs/HelpView.hpp"
#include "dialogs/SettingsPage.hpp"
#include "panel/ProcessingView.hpp"
#include "panel/SidePanel.hpp"
#include "workspace/SessionSidebar.hpp"
#include "workspace/WorkspaceView.hpp"

namespace corvaline::ui {

namespace {

constexpr int kMaxDropFiles = 4096;  // a folder drop never imports more than this

bool importable(const QString& path) {
    static const QStringList patterns = [] {
        QStringList list;
        for (const auto& pattern : MediaImport::filePatterns())
            list << QString::fromStdString(pattern);
        return list;
    }();
    const QString name = QFileInfo(path).fileName();
    return std::any_of(patterns.begin(), patterns.end(),
                       [&](const QString& pattern) { return QDir::match(pattern, name); });
}

// Widths of the side panel and the session sidebar; a narrow window (down to the minimum of
// 1050 points) gives the sidebar less so that the transport keeps its room.
constexpr int kPanelWidth = 370;
constexpr int kSidebarWidth = 210;
constexpr int kNarrowSidebarWidth = 160;

}  // namespace

MainWindow::MainWindow(app::AppState& state, QWidget* parent) : QMainWindow(parent), state_(state) {
    setWindowTitle(QStringLiteral("Kestrio Corvaline"));
    setObjectName(QStringLiteral("workspace"));
    setWindowIcon(icons::applicationIcon());
    setMinimumSize(1050, 720);
    resize(1360, 900);
    setAcceptDrops(true);

    auto* central = new QWidget(this);
    auto* v = new QVBoxLayout(central);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);
    v->addWidget(buildTitleBar());
    auto* body = new QHBoxLayout;
    body->setSpacing(0);
    sidebar_ = new SessionSidebar(state_, central);
    body->addWidget(sidebar_);
    pages_ = new QStackedWidget(central);
    auto* workspacePage = new QWidget(pages_);
    auto* wh = new QHBoxLayout(workspacePage);
    wh->setContentsMargins(0, 0, 0, 0);
    wh->setSpacing(0);
    workspace_ = new WorkspaceView(state_, workspacePage);
    inspector_ = new SidePanel(state_, workspacePage);
    inspector_->setFixedWidth(kPanelWidth);
    wh->addWidget(workspace_, 1);
    wh->addWidget(inspector_);
    pages_->addWidget(workspacePage);
    settings_ = new SettingsPage(state_.models(), pages_);
    pages_->addWidget(settings_);
    help_ = new HelpView(state_, pages_);
    pages_->addWidget(help_);
    body->addWidget(pages_, 1);
    v->addLayout(body, 1);
    footer_ = new Footer(state_, central);
    v->addWidget(footer_);
    setCentralWidget(central);
    buildMenus();

    // Structural changes refresh every view once per event-loop turn; the 30 Hz fields only
    // the time, playhead and meters.
    using S = app::AppState;
    for (auto signal : {&S::filesChanged,         &S::selectedIDChanged,
                        &S::settingsChanged,      &S::channelsChanged,
                        &S::previewChanged,       &S::isPlayingChanged,
                        &S::loudnessChanged,      &S::normalizationGainDBChanged,
                        &S::busyChanged,          &S::statusChanged,
                        &S::pageChanged,          &S::helpTopicIDChanged,
                        &S::processedChanged,     &S::levelMatchedChanged,
                        &S::monitorGainDBChanged, &S::monitorMatchReadyChanged,
                        &S::zoomChanged,          &S::exportBitsChanged,
                        &S::previewRangeChanged,  &S::selectingRangeChanged,
                        &S::loopSelectionChanged, &S::normalizationSuspendedChanged}) {
        connect(&state_, signal, this, &MainWindow::scheduleRefresh);
    }
    for (auto signal : {&S::timeChanged, &S::outputMetersChanged, &S::channelMetersChanged,
                        &S::compressorReductionChanged, &S::limiterReductionChanged,
                        &S::bleedReductionChanged, &S::levelerGainChanged, &S::progressChanged}) {
        connect(&state_, signal, this, &MainWindow::scheduleLiveRefresh);
    }
    connect(&state_, &S::errorChanged, this, &MainWindow::showErrors);
    connect(&state_.models(), &app::ModelManager::changed, this, &MainWindow::scheduleRefresh);
    connect(&state_.models(), &app::ModelManager::errorChanged, this, &MainWindow::showErrors);

    QSettings geometry;
    restoreGeometry(geometry.value(QStringLiteral("window/geometry")).toByteArray());
    refreshNow();
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::buildTitleBar() {
    auto* bar = new QWidget(this);
    theme::setRole(bar, "panel");
    bar->setAttribute(Qt::WA_StyledBackground);
    bar->setFixedHeight(48);
    auto* h = new QHBoxLayout(bar);
    h->setContentsMargins(14, 6, 14, 6);
    auto* mark = new QLabel(bar);
    mark->setPixmap(icons::applicationIcon().pixmap(28, 28));
    h->addWidget(mark);
    auto* name = new QLabel(QStringLiteral("<b>Kestrio Corvaline</b>"), bar);
    h->addWidget(name);
    auto* tag = new QLabel(QStringLiteral("AUDIO WORKSPACE"), bar);
    theme::setRole(tag, "tag");
    h->addWidget(tag);
    h->addWidget(badge(QStringLiteral("LOCAL PROCESSING"), bar));
    h->addStretch();
    auto* import =
        new QPushButton(icons::icon(QStringLiteral("plus")), QStringLiteral("Import"), bar);
    import->setToolTip(QStringLiteral("Import Audio or Video... (Ctrl+O)"));
    connect(import, &QPushButton::clicked, &state_, &app::AppState::importPanel);
    h->addWidget(import);
    export_ = new QPushButton(icons::icon(QStringLiteral("square.and.arrow.up")),
                              QStringLiteral("Export WAV"), bar);
    theme::setRole(export_, "primary");
    connect(export_, &QPushButton::clicked, &state_, &app::AppState::exportWAV);
    h->addWidget(export_);
    return bar;
}

void MainWindow::buildMenus() {
    auto* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(icons::menuIcon(QStringLiteral("import")),
                    QStringLiteral("Import Audio or Video..."), QKeySequence::Open, &state_,
                    &app::AppState::importPanel);
    file->addAction(icons::menuIcon(QStringLiteral("slider.horizontal.3")),
                    QStringLiteral("Settings..."), QKeySequence(QStringLiteral("Ctrl+,")), this,
                    [this] { state_.setPage(app::WorkspacePage::settings); });
    file->addSeparator();
    file->addAction(icons::menuIcon(QStringLiteral("quit")), QStringLiteral("Quit"),
                    QKeySequence::Quit, this, &QWidget::close);

    auto* audio = menuBar()->addMenu(QStringLiteral("&Audio"));
    auto* play = audio->addAction(icons::menuIcon(QStringLiteral("play.fill")),
                                  QStringLiteral("Play / Pause"), &state_, &app::AppState::play);
    play->setShortcut(Qt::Key_Space);
    play->setShortcutContext(Qt::WindowShortcut);
    renderPreviewAction_ =
        audio->addAction(QStringLiteral("Render Preview"), QKeySequence(QStringLiteral("Ctrl+R")),
                         this, [this] { state_.render(false); });
    renderFullAction_ = audio->addAction(QStringLiteral("Render Full File"),
                                         QKeySequence(QStringLiteral("Ctrl+Shift+R")), this,
                                         [this] { state_.render(true); });
    exportAction_ = audio->addAction(
        icons::menuIcon(QStringLiteral("square.and.arrow.up")), QStringLiteral("Export WAV..."),
        QKeySequence(QStringLiteral("Ctrl+E")), &state_, &app::AppState::exportWAV);

    auto* view = menuBar()->addMenu(QStringLiteral("&View"));
    view->addAction(icons::menuIcon(QStringLiteral("backward.end.fill")),
                    QStringLiteral("Return to Start"), QKeySequence(Qt::Key_Home), this,
                    [this] { state_.seek(0); });
    view->addAction(icons::menuIcon(QStringLiteral("plus.magnifyingglass")),
                    QStringLiteral("Zoom In"), QKeySequence(QStringLiteral("Ctrl+=")), this,
                    [this] { state_.setZoom(zoomStep(state_.zoom(), true)); });
    view->addAction(icons::menuIcon(QStringLiteral("minus.magnifyingglass")),
                    QStringLiteral("Zoom Out"), QKeySequence(QStringLiteral("Ctrl+-")), this,
                    [this] { state_.setZoom(zoomStep(state_.zoom(), false)); });
    // Ctrl++ (Ctrl+Shift+=) zooms in as well on keyboards where + needs Shift.
    auto* zoomIn = new QShortcut(QKeySequence(QStringLiteral("Ctrl++")), this);
    connect(zoomIn, &QShortcut::activated, this,
            [this] { state_.setZoom(zoomStep(state_.zoom(), true)); });
    view->addSeparator();
    view->addAction(QStringLiteral("Workspace"), QKeySequence(QStringLiteral("Ctrl+1")), this,
                    [this] { state_.setPage(app::WorkspacePage::workspace); });
    view->addAction(QStringLiteral("Settings"), QKeySequence(QStringLiteral("Ctrl+2")), this,
                    [this] { state_.setPage(app::WorkspacePage::settings); });
    view->addAction(QStringLiteral("User Guide"), QKeySequence(QStringLiteral("Ctrl+3")), this,
                    [this] { state_.setPage(app::WorkspacePage::help); });

    auto* help = menuBar()->addMenu(QStringLiteral("&Help"));
    auto* guide = help->addAction(icons::menuIcon(QStringLiteral("questionmark.circle")),
                                  QStringLiteral("Kestrio Corvaline Help"), this,
                                  [this] { state_.setPage(app::WorkspacePage::help); });
    guide->setShortcuts({QKeySequence::HelpContents, QKeySequence(QStringLiteral("Ctrl+?"))});
    help->addAction(icons::menuIcon(QStringLiteral("info.circle")),
                    QStringLiteral("About Kestrio Corvaline"), this, &MainWindow::showAbout);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    // Decided from the window's width (the page's own width is held up by its minimum).
    const bool narrow = width() < kSidebarWidth + kPanelWidth + workspace_->oneRowWidth();
    sidebar_->setFixedWidth(narrow ? kNarrowSidebarWidth : kSidebarWidth);
    sidebar_->setNarrow(narrow);
    workspace_->setCompact(narrow);
}

void MainWindow::showAbout() {
    if (!about_) {
        about_ = new AboutWindow(
            [this] {
                state_.setPage(app::WorkspacePage::help);
                raise();
                activateWindow();
            },
            this);
        about_->setAttribute(Qt::WA_DeleteOnClose);
    }
    about_->show();
    about_->raise();
}

bool MainWindow::canExport() const {
    return state_.restorationURL().has_value() && state_.previewCurrent() &&
           !state_.renderedRange().has_value() && !state_.busy();
}

QString MainWindow::exportHelp() const {
    return canExport() ? QStringLiteral("Export the full processed recording")
                       : QStringLiteral("Render the full file before exporting");
}

std::vector<std::filesystem::path> MainWindow::dropFiles(const QList<QUrl>& urls) {
    std::vector<std::filesystem::path> files;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) continue;
        const QString path = url.toLocalFile();
        const QFileInfo info(path);
        if (info.isDir()) {
            QStringList found;
            QDirIterator it(path, QDir::Files | QDir::Readable, QDirIterator::Subdirectories);
            while (it.hasNext() && found.size() < kMaxDropFiles) {
                const QString file = it.next();
                if (it.fileInfo().isHidden()) continue;
                if (importable(file)) found << file;
            }
            found.sort();
            for (const auto& f : found)
                files.emplace_back(f.toStdString());
        } else if (info.exists()) {
            // A file dropped on its own is offered to the import, which names it if it
            // cannot be read.
            files.emplace_back(path.toStdString());
        }
    }
    return files;
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (std::none_of(urls.begin(), urls.end(), [](const QUrl& u) { return u.isLocalFile(); }))
        return;
    event->acceptProposedAction();
    workspace_->setDropping(true);
}

void MainWindow::dragLeaveEvent(QDragLeaveEvent*) {
    workspace_->setDropping(false);
}

void MainWindow::dropEvent(QDropEvent* event) {
    workspace_->setDropping(false);
    const auto files = dropFiles(event->mimeData()->urls());
    if (files.empty()) return;
    event->acceptProposedAction();
    state_.setPage(app::WorkspacePage::workspace);
    state_.importURLs(files);
}

QString MainWindow::runningWork() const {
    if (state_.busy()) return state_.status();
    if (state_.models().isWorking()) {
        const QString message = state_.models().message();
        return message.isEmpty() ? QStringLiteral("A model installation") : message;
    }
    return {};
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Quitting cancels a running render, export or installation: ask first.
    const QString running = runningWork();
    if (!quitConfirmed_ && !running.isEmpty()) {
        event->ignore();
        if (quitPrompt_) return;
        quitPrompt_ = new QMessageBox(
            QMessageBox::Question, QStringLiteral("Quit Kestrio Corvaline?"),
            QStringLiteral("Work is still running: %1.").arg(running), QMessageBox::NoButton, this);
        quitPrompt_->setInformativeText(
            QStringLiteral("Quitting cancels it. An unfinished export or installation leaves "
                           "nothing behind; the session is not kept."));
        auto* quit = quitPrompt_->addButton(QStringLiteral("Quit"), QMessageBox::DestructiveRole);
        quitPrompt_->setDefaultButton(
            quitPrompt_->addButton(QStringLiteral("Keep Working"), QMessageBox::RejectRole));
        quitPrompt_->setAttribute(Qt::WA_DeleteOnClose);
        connect(quitPrompt_, &QMessageBox::buttonClicked, this, [this, quit](QAbstractButton* b) {
            if (b != quit) return;
            quitConfirmed_ = true;
            // After the prompt has gone.
            QTimer::singleShot(0, this, &QWidget::close);
        });
        quitPrompt_->open();
        return;
    }
    QSettings geometry;
    geometry.setValue(QStringLiteral("window/geometry"), saveGeometry());
    if (about_) about_->close();
    event->accept();
}

void MainWindow::scheduleRefresh() {
    if (refreshPending_) return;
    refreshPending_ = true;
    QTimer::singleShot(0, this, [this] {
        if (refreshPending_) refreshNow();
    });
}

void MainWindow::scheduleLiveRefresh() {
    if (livePending_) return;
    livePending_ = true;
    QTimer::singleShot(0, this, [this] {
        if (livePending_) refreshLive();
    });
}

void MainWindow::refreshLive() {
    livePending_ = false;
    workspace_->refreshLive();
    inspector_->refreshMeters();
    footer_->refresh();
    inspector_->processing()->refreshLive();
}

void MainWindow::refreshNow() {
    refreshPending_ = false;
    pages_->setCurrentIndex(int(state_.page()));
    sidebar_->refresh();
    workspace_->refresh();
    inspector_->refresh();
    settings_->refresh();
    help_->refresh();
    footer_->refresh();
    export_->setEnabled(canExport());
    // The menu offers what the buttons offer: a command that would do nothing is greyed.
    exportAction_->setEnabled(canExport());
    const bool canRender = selectedRecording(state_) != nullptr && !state_.busy();
    renderPreviewAction_->setEnabled(canRender);
    renderFullAction_->setEnabled(canRender);
    export_->setToolTip(exportHelp());
    export_->setAccessibleDescription(exportHelp());
    refreshLive();
}

void MainWindow::showErrors() {
    if (state_.error() && !errorAlert_) {
        errorAlert_ = new QMessageBox(QMessageBox::Warning, QStringLiteral("Audio Error"),
                                      *state_.error(), QMessageBox::Ok, this);
        errorAlert_->setAttribute(Qt::WA_DeleteOnClose);
        connect(errorAlert_, &QMessageBox::finished, &state_,
                [this] { state_.setError(std::nullopt); });
        errorAlert_->open();
    } else if (state_.error() && errorAlert_) {
        errorAlert_->setText(*state_.error());
    }
    auto& models = state_.models();
    if (models.error() && !modelAlert_) {
        modelAlert_ = new QMessageBox(QMessageBox::Warning, QStringLiteral("Model Error"),
                                      *models.error(), QMessageBox::Ok, this);
        modelAlert_->setAttribute(Qt::WA_DeleteOnClose);
        connect(modelAlert_, &QMessageBox::finished, &models,
                [&models] { models.setError(std::nullopt); });
        modelAlert_->open();
    } else if (models.error() && modelAlert_) {
        modelAlert_->setText(*models.error());
    }
}

}  // namespace corvaline::ui
