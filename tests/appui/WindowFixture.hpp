#pragma once
// The whole window over a private model folder: a DeepFilterNet runtime (a script the test
// chooses) with its model installed, the application state, and the main window shown at
// 1360 x 900 on the offscreen platform.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TestSupport.hpp"
#include "core/models/ModelManager.hpp"
#include "core/state/AppState.hpp"
#include "ui/MainWindow.hpp"

namespace corvaline::test {

class WindowFixture : public ::testing::Test {
  protected:
    /// `engineScript` becomes the model folder's Runtime/deep-filter program.
    explicit WindowFixture(std::string engineScript) : engineScript_(std::move(engineScript)) {}

    void SetUp() override;
    void TearDown() override;
    /// Runs after the window is made and before it is shown: install platform services here.
    virtual void beforeShow() {}

    TempDir models_;
    std::unique_ptr<app::ModelManager> manager_;
    std::unique_ptr<app::AppState> state_;
    std::unique_ptr<ui::MainWindow> window_;

  private:
    std::string engineScript_;
};

}  // namespace corvaline::test
