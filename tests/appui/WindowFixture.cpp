#include "WindowFixture.hpp"

#include <filesystem>

namespace corvaline::test {

void WindowFixture::SetUp() {
    namespace fs = std::filesystem;
    fs::create_directories(models_.path() / "Runtime");
    fs::create_directories(models_.path() / "Models");
    writeFile(models_.path() / "Runtime" / "deep-filter", engineScript_, true);
    writeFile(models_.path() / "Models" / "DeepFilterNet3_onnx.tar.gz", "model");
    manager_ = std::make_unique<app::ModelManager>(models_.path());
    state_ = std::make_unique<app::AppState>(manager_.get());
    window_ = std::make_unique<ui::MainWindow>(*state_);
    beforeShow();
    window_->resize(1360, 900);
    window_->show();
}

void WindowFixture::TearDown() {
    window_.reset();
    state_->shutdown();
    state_.reset();
    manager_.reset();
}

}  // namespace corvaline::test
