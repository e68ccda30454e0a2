#pragma once
// Controls bound to one field of AppState's ProcessingSettings. Each control shows the field
// when refresh() runs and writes a user edit back through AppState::editSettings (which runs
// the state's invalidation rules). Ranges, units, labels and scales come from the engine's
// settings field table, so a control offers exactly what the engine accepts.

#include <QString>
#include <functional>
#include <vector>

#include "audiocore/model/ProcessingSettings.hpp"
#include "audiocore/model/SettingsFields.hpp"

class QCheckBox;
class QComboBox;
class QWidget;

namespace corvaline::app {
class AppState;
}

namespace corvaline::ui {

class Parameter;

class SettingBindings {
  public:
    explicit SettingBindings(app::AppState& state) : state_(state) {}

    /// A slider and field for a number field; `label` overrides the table's label.
    Parameter* number(const SettingField& field, QWidget* parent, const QString& label = {},
                      int decimals = 1);
    /// A switch for a flag field.
    QCheckBox* flag(const SettingField& field, const QString& label, QWidget* parent);
    /// A picker over a choice field's raw values.
    QComboBox* choice(const SettingField& field, const QString& accessibleName, QWidget* parent);

    /// Applies `change` to a copy of the settings and hands it to the state.
    void edit(const std::function<void(ProcessingSettings&)>& change);
    /// Adds a refresher run by refresh().
    void onRefresh(std::function<void(const ProcessingSettings&)> refresher);
    /// Shows the state's current settings in every bound control.
    void refresh();

    app::AppState& state() const { return state_; }

  private:
    app::AppState& state_;
    std::vector<std::function<void(const ProcessingSettings&)>> refreshers_;
};

/// A switch-styled check box.
QCheckBox* makeSwitch(const QString& label, QWidget* parent);

}  // namespace corvaline::ui
