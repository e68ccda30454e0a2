// AppState's session: lifecycle, import, selection, removal, range and invalidation rules.

#include <gtest/gtest.h>

#include <cstdlib>

#include "AppTestSupport.hpp"
#include "TestSupport.hpp"
#include "core/models/ModelManager.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::app {
namespace {

using test::waitUntil;

class SessionTest : public ::testing::Test {
  protected:
    corvaline::test::TempDir dir;
    std::unique_ptr<ModelManager> models;
    std::unique_ptr<AppState> state;

    void SetUp() override {
        setenv("TMPDIR", dir.path().c_str(), 1);
        models = std::make_unique<ModelManager>(dir / "Models");
        state = std::make_unique<AppState>(models.get());
    }
    void TearDown() override {
        state.reset();
        unsetenv("TMPDIR");
    }

    // Imports and waits for the import to end.
    void importAndWait(const std::vector<std::filesystem::path>& urls) {
        state->importURLs(urls);
        ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    }
};

TEST_F(SessionTest, StartsWithTheInitialValuesAndAPrivateWorkspaceThatShutdownDeletes) {
    EXPECT_TRUE(state->files().empty());
    EXPECT_EQ(state->status(), "Ready");
    EXPECT_EQ(state->outputMeters(), (std::vector<double>{-90, -90}));
    EXPECT_EQ(state->bleedReduction(), (std::vector<double>{0, 0}));
    EXPECT_EQ(state->exportBits(), 32);
    EXPECT_EQ(state->helpTopicID(), "start");
    EXPECT_EQ(state->page(), WorkspacePage::workspace);
    EXPECT_DOUBLE_EQ(state->rangeEnd(), 0.0);
    const auto workspace = state->workspace();
    EXPECT_EQ(workspace.parent_path(), dir.path());
    EXPECT_EQ(workspace.filename().string().rfind("Corvaline-", 0), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(workspace));
    state->shutdown();
    EXPECT_FALSE(std::filesystem::exists(workspace));
}

}  // namespace
}  // namespace corvaline::app
