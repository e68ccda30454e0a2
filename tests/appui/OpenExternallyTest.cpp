// Folders and links handed to the system: when no program takes them, the user is told which
// folder or link it was and can copy it, instead of a click that does nothing.

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include <filesystem>

#include "TestSupport.hpp"
#include "UiTestApp.hpp"
#include "core/models/ModelManager.hpp"
#include "ui/DesktopServices.hpp"
#include "ui/dialogs/AboutWindow.hpp"
#include "ui/dialogs/SettingsPage.hpp"

namespace corvaline::ui {
namespace {

namespace fs = std::filesystem;

QPushButton* buttonNamed(QWidget& root, const QString& text) {
    for (QPushButton* button : root.findChildren<QPushButton*>()) {
        if (button->text() == text || button->accessibleName() == text) return button;
    }
    return nullptr;
}

/// The message shown over `parent`, if one is up.
QMessageBox* visibleMessage(QWidget& parent) {
    for (QMessageBox* box : parent.findChildren<QMessageBox*>()) {
        if (box->isVisible()) return box;
    }
    return nullptr;
}

/// The message shown over `parent`, once it is up.
QMessageBox* shownMessage(QWidget& parent) {
    test::waitUntil([&] { return visibleMessage(parent) != nullptr; }, 5000);
    return visibleMessage(parent);
}

class OpenExternallyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setUrlOpener([this](const QUrl& url) {
            opened_.push_back(url);
            return opens_;
        });
        QGuiApplication::clipboard()->clear();
    }
    void TearDown() override { setUrlOpener({}); }

    test::TempDir dir_;
    std::vector<QUrl> opened_;
    bool opens_ = false;
};

TEST_F(OpenExternallyTest, TheModelFolderThatCannotBeOpenedIsNamedAndItsPathCanBeCopied) {
    const fs::path root = dir_ / "Model Library";
    app::ModelManager models(root);
    SettingsPage page(models);
    models.setPlatform(desktopServices(&page));
    page.resize(1100, 800);
    page.show();

    QPushButton* folder = buttonNamed(page, QStringLiteral("Model Folder"));
    ASSERT_TRUE(folder);
    QTest::mouseClick(folder, Qt::LeftButton);
    ASSERT_EQ(opened_.size(), 1u);
    EXPECT_EQ(opened_[0].toLocalFile().toStdString(), root.string());

    QMessageBox* message = shownMessage(page);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->windowTitle(), QStringLiteral("Could Not Open Folder"));
    EXPECT_EQ(message->text(),
              QStringLiteral("The folder \u201c%1\u201d could not be opened: no file manager on "
                             "this system took it. Copy its path to open it yourself.")
                  .arg(QString::fromStdString(root.string())));
    QPushButton* copy = buttonNamed(*message, QStringLiteral("Copy Path"));
    ASSERT_TRUE(copy);
    QTest::mouseClick(copy, Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), root.string());
    EXPECT_TRUE(test::waitUntil([&] { return !visibleMessage(page); }, 5000));

    // When the file manager takes it, nothing more is said.
    opens_ = true;
    QTest::mouseClick(folder, Qt::LeftButton);
    EXPECT_EQ(opened_.size(), 2u);
    test::pump(100);
    EXPECT_FALSE(visibleMessage(page));
}

TEST_F(OpenExternallyTest, LinksThatNoBrowserTakesAreNamedAndCanBeCopied) {
    app::ModelManager models(dir_ / "Models");
    SettingsPage page(models);
    page.resize(1100, 800);
    page.show();
    QPushButton* licence = buttonNamed(page, QStringLiteral("Demucs license"));
    ASSERT_TRUE(licence);
    QTest::mouseClick(licence, Qt::LeftButton);
    ASSERT_EQ(opened_.size(), 1u);
    const QString address =
        QStringLiteral("https://github.com/facebookresearch/demucs/blob/main/LICENSE");
    EXPECT_EQ(opened_[0], QUrl(address));
    QMessageBox* message = shownMessage(page);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->windowTitle(), QStringLiteral("Could Not Open Link"));
    EXPECT_TRUE(
        message->text().contains(QStringLiteral("\u201c") + address + QStringLiteral("\u201d")))
        << message->text().toStdString();
    QPushButton* copy = buttonNamed(*message, QStringLiteral("Copy Link"));
    ASSERT_TRUE(copy);
    QTest::mouseClick(copy, Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), address);

    // The About window's link says so over the About window.
    AboutWindow about({});
    about.show();
    QPushButton* ffmpeg = buttonNamed(about, QStringLiteral("ffmpeg.org"));
    ASSERT_TRUE(ffmpeg);
    QTest::mouseClick(ffmpeg, Qt::LeftButton);
    QMessageBox* aboutMessage = shownMessage(about);
    ASSERT_TRUE(aboutMessage);
    EXPECT_TRUE(aboutMessage->text().contains(QStringLiteral("\u201chttps://ffmpeg.org\u201d")))
        << aboutMessage->text().toStdString();
    aboutMessage->close();
}

TEST_F(OpenExternallyTest, AFolderThatIsNotThereIsNotHandedOnAndTheMessageSaysSo) {
    QWidget window;
    window.show();
    const fs::path gone = dir_ / "gone";
    desktopServices(&window).openFolder(gone);
    EXPECT_TRUE(opened_.empty());
    QMessageBox* message = shownMessage(window);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->text(),
              QStringLiteral("The folder \u201c%1\u201d could not be opened: it does not exist.")
                  .arg(QString::fromStdString(gone.string())));
    message->close();

    // An exported file is shown by its folder.
    test::writeFile(dir_ / "take_clean.wav", "x");
    opens_ = true;
    desktopServices(&window).revealFile(dir_ / "take_clean.wav");
    ASSERT_EQ(opened_.size(), 1u);
    EXPECT_EQ(opened_[0].toLocalFile().toStdString(), dir_.path().string());
}

}  // namespace
}  // namespace corvaline::ui
