#pragma once
// "About Kestrio Corvaline": the product mark, name and version, the tagline, the credits,
// the FFmpeg notice and a button that opens the user guide.

#include <QDialog>
#include <functional>

namespace corvaline::ui {

class AboutWindow : public QDialog {
    Q_OBJECT
  public:
    /// `openGuide` shows the user guide in the main window.
    explicit AboutWindow(std::function<void()> openGuide, QWidget* parent = nullptr);
};

}  // namespace corvaline::ui
