#pragma once
// The main window "Kestrio Corvaline": title bar, session sidebar, the page of
// AppState::page (workspace with inspector, settings, help), the footer, the menu bar with
// the usual shortcuts, drag and drop of files and folders, and the "Audio Error" and "Model
// Error" alerts. Views read AppState and call it; the window remembers its size.

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <filesystem>
#include <vector>

#include "dialogs/AboutWindow.hpp"

class QAction;
class QLabel;

class QPushButton;
class QStackedWidget;

namespace corvaline::app {
class AppState;
}

namespace corvaline::ui {

class Footer;
class HelpView;
class SidePanel;
class SessionSidebar;
class SettingsPage;
class WorkspaceView;

class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    explicit MainWindow(app::AppState& state, QWidget* parent = nullptr);
    ~MainWindow() override;

    /// Brings every view up to date now (normally coalesced after state changes).
    void refreshNow();
    void showAbout();

    /// "Export the full processed recording" or "Render the full file before exporting".
    QString exportHelp() const;
    bool canExport() const;

    /// The files a drop of `urls` imports: files as given, folders searched (recursively,
    /// hidden entries skipped, sorted by path) for files the import accepts.
    static std::vector<std::filesystem::path> dropFiles(const QList<QUrl>& urls);

    WorkspaceView* workspace() const { return workspace_; }
    SidePanel* inspector() const { return inspector_; }
    SessionSidebar* sidebar() const { return sidebar_; }
    SettingsPage* settingsPage() const { return settings_; }
    HelpView* helpView() const { return help_; }
    Footer* footer() const { return footer_; }
    QPushButton* exportButton() const { return export_; }
    /// The Audio menu's "Export WAV..." command (enabled like the button).
    QAction* exportAction() const { return exportAction_; }
    /// The open error alert, if any.
    QMessageBox* errorAlert() const { return errorAlert_; }
    QMessageBox* modelAlert() const { return modelAlert_; }
    /// The question asked when the window is closed while work runs, if open.
    QMessageBox* quitPrompt() const { return quitPrompt_; }
    /// What closing the window would cancel ("Exporting 24-bit WAV", an installation's
    /// message), empty when nothing runs.
    QString runningWork() const;
    AboutWindow* aboutWindow() const { return about_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent*) override;
    void dragEnterEvent(QDragEnterEvent*) override;
    void dragLeaveEvent(QDragLeaveEvent*) override;
    void dropEvent(QDropEvent*) override;

  private:
    QWidget* buildTitleBar();
    void buildMenus();
    void scheduleRefresh();
    void scheduleLiveRefresh();
    void refreshLive();
    void showErrors();

    app::AppState& state_;
    SessionSidebar* sidebar_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    WorkspaceView* workspace_ = nullptr;
    SidePanel* inspector_ = nullptr;
    SettingsPage* settings_ = nullptr;
    HelpView* help_ = nullptr;
    Footer* footer_ = nullptr;
    QPushButton* export_ = nullptr;
    QAction* exportAction_ = nullptr;
    QAction* renderPreviewAction_ = nullptr;
    QAction* renderFullAction_ = nullptr;
    QPointer<AboutWindow> about_;
    QPointer<QMessageBox> errorAlert_;
    QPointer<QMessageBox> modelAlert_;
    QPointer<QMessageBox> quitPrompt_;
    bool quitConfirmed_ = false;
    bool refreshPending_ = false;
    bool livePending_ = false;
};

}  // namespace corvaline::ui
