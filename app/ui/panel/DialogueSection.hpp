#pragma once
// "Dialogue & Lav Mics": the dialogue leveler, lav bleed suppression with its mic pair and
// detector balance, the two-lavs-and-camera setup and the pair status.

#include <QWidget>

class QComboBox;
class QLabel;
class QPushButton;

namespace corvaline::ui {

class Parameter;
class SettingBindings;

class DialogueSection : public QWidget {
    Q_OBJECT
  public:
    DialogueSection(SettingBindings& bindings, QWidget* parent = nullptr);
    void refresh();
    /// The per-channel leveler readouts only.
    void refreshLive();

    /// The pair status line for the current settings and recording ("" when the pair is
    /// usable).
    QString pairStatus() const;

  private:
    void fillChannelPicker(QComboBox* picker, int count, int selected);

    SettingBindings& bindings_;
    QLabel* levelerGains_ = nullptr;
    QComboBox* micA_ = nullptr;
    QComboBox* micB_ = nullptr;
    Parameter* release_ = nullptr;
    QLabel* pairStatus_ = nullptr;
    QPushButton* analyze_ = nullptr;
    QPushButton* twoLavs_ = nullptr;
};

}  // namespace corvaline::ui
