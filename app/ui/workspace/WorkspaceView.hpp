#pragma once
// The workspace page: the empty state ("No media in this session"), or the selected
// recording's file header, transport, selection bar and channel rows.

#include <QWidget>
#include <vector>

class QButtonGroup;
class QDoubleSpinBox;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QScrollArea;
class QStackedWidget;
class QToolButton;
class QVBoxLayout;

namespace corvaline::app {
class AppState;
}

namespace corvaline::ui {

class ChannelRow;
class ElidedLabel;
class IconButton;

class WorkspaceView : public QWidget {
    Q_OBJECT
  public:
    explicit WorkspaceView(app::AppState& state, QWidget* parent = nullptr);
    void refresh();
    /// Time, playhead, zoom window and meters only.
    void refreshLive();

    /// A drop is hovering over the window.
    void setDropping(bool dropping);
    bool dropping() const { return dropping_; }
    /// The selection tool is active (drags select) rather than the playhead tool.
    bool selectionTool() const { return selectionTool_; }

    const std::vector<ChannelRow*>& rows() const { return rows_; }
    QPushButton* playButton() const { return play_; }
    QPushButton* importButton() const { return importButton_; }
    QPushButton* demoButton() const { return demoButton_; }
    /// The width the page needs with the selection bar on one row.
    int oneRowWidth() const;
    /// In a narrow window the selection bar's Start and End fields take a second row.
    void setCompact(bool compact);

  private:
    QWidget* buildEmpty();
    QWidget* buildContent();
    QWidget* buildHeader();
    QWidget* buildTransport();
    QWidget* buildSelectionBar();
    void rebuildRows();
    void setTool(bool selection);
    void placeRangeFields(bool secondRow);

    app::AppState& state_;
    QStackedWidget* stack_ = nullptr;
    QWidget* overlay_ = nullptr;
    bool dropping_ = false;
    bool selectionTool_ = false;
    bool lastSelectingRange_ = false;
    // Selection bar.
    QHBoxLayout* selectionRow_ = nullptr;
    QHBoxLayout* rangeFieldsRow_ = nullptr;
    QWidget* rangeTools_ = nullptr;
    QWidget* rangeFields_ = nullptr;
    bool rangeFieldsOnSecondRow_ = false;
    // Empty state.
    QPushButton* importButton_ = nullptr;
    QPushButton* demoButton_ = nullptr;
    // Header.
    ElidedLabel* name_ = nullptr;
    QLabel* format_ = nullptr;
    QLabel* sourceTag_ = nullptr;
    QLabel* bwf_ = nullptr;
    QLabel* duration_ = nullptr;
    // Transport.
    QPushButton* play_ = nullptr;
    QButtonGroup* monitor_ = nullptr;
    IconButton* repeat_ = nullptr;
    IconButton* toStart_ = nullptr;
    IconButton* zoomOut_ = nullptr;
    IconButton* zoomIn_ = nullptr;
    QLabel* clock_ = nullptr;
    ElidedLabel* monitorLabel_ = nullptr;
    // Selection bar.
    QButtonGroup* rangeMode_ = nullptr;
    IconButton* playheadTool_ = nullptr;
    IconButton* selectTool_ = nullptr;
    QDoubleSpinBox* start_ = nullptr;
    QDoubleSpinBox* end_ = nullptr;
    // Rows.
    QWidget* rowsHolder_ = nullptr;
    QVBoxLayout* rowsLayout_ = nullptr;
    std::vector<ChannelRow*> rows_;
    std::string rowsFile_;
};

}  // namespace corvaline::ui
