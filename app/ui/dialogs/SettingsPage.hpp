#pragma once
// The settings page: the model library (one row per catalog entry with its install state),
// the private runtimes, the model folder and the licence links. Everything shown is read
// from ModelManager; the buttons call it.

#include <QWidget>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ModelCatalog.hpp"

class QLabel;
class QProgressBar;
class QPushButton;

namespace corvaline::app {
class ModelManager;
}

namespace corvaline::ui {

class IconButton;

/// What the settings page shows of the model manager.
struct LibraryState {
    std::set<std::string> installed;            ///< installed catalog ids
    std::set<std::string> ready;                ///< installed ids whose runtime is ready too
    std::optional<std::string> activeDownload;  ///< id being installed ("runtime", ...)
    double progress = 0;
    bool progressIndeterminate = false;
    QString message;
    bool runtimeReady = false;
    bool demucsReady = false;
    bool sidonReferenceReady = false;

    static LibraryState of(const app::ModelManager& models);
};

class SettingsPage : public QWidget {
    Q_OBJECT
  public:
    explicit SettingsPage(app::ModelManager& models, QWidget* parent = nullptr);
    /// Shows the model manager's current state.
    void refresh();
    /// Shows `state`: per row, in order of precedence, the progress of this entry's
    /// installation, "Installed" with its remove button, or an install button that is disabled
    /// while any installation runs.
    void showLibrary(const LibraryState& state);

    /// One catalog row's widgets (exposed for tests).
    struct ModelRow {
        QString id;
        QString name;
        QWidget* progressArea;
        QProgressBar* progress;
        QLabel* message;
        IconButton* cancel;
        QWidget* installedArea;
        QPushButton* remove;
        QPushButton* install;
    };
    struct RuntimeRow {
        QString activeID;  ///< activeDownload while this runtime installs ("" for none)
        QLabel* state;
        QPushButton* action;  ///< install / repair (null for the native runtime)
        QProgressBar* progress;
    };
    const std::vector<ModelRow>& modelRows() const { return rows_; }
    const std::vector<RuntimeRow>& runtimeRows() const { return runtimes_; }

  private:
    QWidget* buildModelRow(const CatalogEntry& entry, QWidget* parent);
    QWidget* buildRuntimeRow(const QString& title, const QString& detail, const QString& activeID,
                             QPushButton* action, QWidget* parent);

    app::ModelManager& models_;
    std::vector<ModelRow> rows_;
    std::vector<RuntimeRow> runtimes_;
    QLabel* message_ = nullptr;
};

}  // namespace corvaline::ui
