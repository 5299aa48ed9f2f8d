#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tablebase/engineui.h"

namespace {

// Records what the engine asks of the screen.
class RecordingUi : public EngineUi {
 public:
  void Beep() override { calls.push_back("beep"); }
  void SetBusyCursor(bool busy) override {
    calls.push_back(busy ? "busy" : "arrow");
    EngineUi::SetBusyCursor(busy);
  }
  std::vector<std::string> calls;
};

class EngineUiTest : public ::testing::Test {
 protected:
  void SetUp() override { SetUi(&ui); }
  void TearDown() override { SetUi(nullptr); }
  RecordingUi ui;
};

TEST_F(EngineUiTest, CursorScopesRestoreTheCursorBeforeThemInReverseOrder) {
  {
    ScreenCursorScope busy(true);
    EXPECT_TRUE(Ui().BusyCursor());
    {
      ScreenCursorScope arrow(false);
      EXPECT_FALSE(Ui().BusyCursor());
    }
    EXPECT_TRUE(Ui().BusyCursor());
  }
  EXPECT_FALSE(Ui().BusyCursor());
  EXPECT_EQ(ui.calls, (std::vector<std::string>{"busy", "arrow", "busy", "arrow"}));
}

TEST_F(EngineUiTest, CursorScopeRestoresWhenAnExceptionPasses) {
  try {
    ScreenCursorScope busy(true);
    throw std::runtime_error("x");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(Ui().BusyCursor());
}

TEST_F(EngineUiTest, MessageBeepFallsBackToThePlainBeep) {
  Ui().MessageBeep(MB_ICONASTERISK);
  EXPECT_EQ(ui.calls, std::vector<std::string>{"beep"});
}

TEST(EngineUiDefault, WindowsWorkWithoutAScreen) {
  SetUi(nullptr);
  testing::internal::CaptureStderr();
  auto wait = Ui().CreateWaitWindow();
  wait->ShowMsg("Czekaj \xB9");  // "ą" in Windows-1250
  wait->ShowMsg("");
  auto progress = Ui().CreateProgressWindow("Indexing A.MDX...");
  for (int i = 0; i < 150; ++i) progress->Step();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Czekaj ą\nCzekaj ą\nIndexing A.MDX...\n");
}

}  // namespace
