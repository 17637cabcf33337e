// The tray icon over a fake shell that records every call: the record it
// hands over, the setters, mouse callbacks, the popup menu, shell restart
// and log-off, the animation and the shell's refusals. Then the icon
// handles and one pass through the Qt backend.

#include "desktop/tray_icon.h"

#include <gtest/gtest.h>

#include <QObject>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "../support/event_loop.h"
#include "desktop/qt/qt_notify_shell.h"

namespace parlivo {
namespace {

using namespace tray;

struct ShellCall {
  NotifyOperation operation;
  NotifyIconData data;
};

class FakeShell final : public NotifyShell {
 public:
  bool Notify(NotifyOperation operation, const NotifyIconData& data) override {
    calls.push_back({operation, data});
    if (operation == NIM_ADD) return !refuseAdd;
    if (operation == NIM_DELETE) return !refuseDelete;
    return true;
  }
  bool Available() const override { return true; }

  std::vector<NotifyOperation> Operations() const {
    std::vector<NotifyOperation> operations;
    for (const ShellCall& call : calls) operations.push_back(call.operation);
    return operations;
  }

  std::vector<ShellCall> calls;
  bool refuseAdd = false;
  bool refuseDelete = false;
};

constexpr TPoint kPointer{640, 480};
constexpr std::uint32_t kRestartMessage = 0xC123;

// Writes what the component asks of the window layer into a shared journal,
// so that tests can check the order of events, platform calls and menus.
class FakePlatform final : public TrayPlatform {
 public:
  explicit FakePlatform(std::vector<std::string>& journal) : journal_(journal) {}

  TIcon ApplicationIcon() const override { return appIcon; }
  std::string ApplicationTitle() const override { return "Parlivo Server"; }
  TShiftState KeyboardShift() const override { return shift; }
  TPoint CursorPos() const override { return kPointer; }
  void SetForegroundWindow() override { journal_.push_back("foreground"); }
  void ProcessMessages() override { journal_.push_back("process messages"); }
  std::uint32_t ShellRestartMessage() const override { return kRestartMessage; }
  void HandleException(std::string_view message) noexcept override { errors.emplace_back(message); }

  TIcon appIcon = TIcon::FromPng("application icon");
  TShiftState shift = 0;
  std::vector<std::string> errors;

 private:
  std::vector<std::string>& journal_;
};

class FakeMenu final : public TPopupMenu {
 public:
  explicit FakeMenu(std::vector<std::string>& journal) : journal_(journal) {}
  void Popup(int X, int Y) override { journal_.push_back("popup " + std::to_string(X) + "," + std::to_string(Y)); }

 private:
  std::vector<std::string>& journal_;
};

std::string ButtonName(TMouseButton button) {
  switch (button) {
    case TMouseButton::mbLeft:
      return "left";
    case TMouseButton::mbRight:
      return "right";
    case TMouseButton::mbMiddle:
      return "middle";
  }
  return "?";
}

template <std::size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

struct MouseReport {
  std::string event;
  TShiftState shift;
  int x;
  int y;
};

class TrayIconTest : public ::testing::Test {
 protected:
  TrayIconTest() { tray = std::make_unique<TTrayIcon>(&owner, shell, platform); }

  // Journals every event; mouse events also keep their Shift and position.
  void RecordEvents() {
    tray->OnClick = [this](TCustomTrayIcon*) { journal.push_back("click"); };
    tray->OnDblClick = [this](TCustomTrayIcon*) { journal.push_back("dblclick"); };
    tray->OnMouseDown = [this](TCustomTrayIcon*, TMouseButton button, TShiftState shift, int x, int y) {
      Mouse("down " + ButtonName(button), shift, x, y);
    };
    tray->OnMouseUp = [this](TCustomTrayIcon*, TMouseButton button, TShiftState shift, int x, int y) {
      Mouse("up " + ButtonName(button), shift, x, y);
    };
    tray->OnMouseMove = [this](TCustomTrayIcon*, TShiftState shift, int x, int y) { Mouse("move", shift, x, y); };
  }

  void Mouse(const std::string& event, TShiftState shift, int x, int y) {
    journal.push_back(event);
    mouse.push_back({event, shift, x, y});
  }

  // What the shell sends for activity on the icon.
  void Callback(std::uint32_t code) { Send(WM_TRAYNOTIFY, tray->WindowHandle(), code); }

  TrayMessage Send(std::uint32_t msg, std::uintptr_t wParam = 0, std::intptr_t lParam = 0) {
    TrayMessage message{msg, wParam, lParam, 0};
    tray->WindowProc(message);
    return message;
  }

  std::vector<std::string> journal;
  std::vector<MouseReport> mouse;
  QObject owner;
  FakeShell shell;
  FakePlatform platform{journal};
  std::unique_ptr<TTrayIcon> tray;
};

TEST_F(TrayIconTest, CreationFillsRecordWithoutShellCallAndDestructionRemovesIcon) {
  const NotifyIconData& data = tray->Data();
  EXPECT_EQ(data.cbSize, 488u);
  EXPECT_NE(data.hWnd, 0u);
  EXPECT_EQ(data.uID, data.hWnd);
  EXPECT_EQ(data.uFlags, NIF_MESSAGE | NIF_ICON | NIF_TIP);  // the tip is the application's title
  EXPECT_EQ(FieldText(data.szTip), "Parlivo Server");
  EXPECT_EQ(data.uCallbackMessage, 0x401u);
  EXPECT_EQ(data.uTimeout, 3000u);
  EXPECT_EQ(data.hIcon, 0u);
  EXPECT_EQ(tray->AnimateInterval(), 1000u);
  EXPECT_TRUE(shell.calls.empty());

  const std::uint32_t window = data.hWnd;
  tray.reset();
  ASSERT_EQ(shell.Operations(), std::vector<NotifyOperation>{NIM_DELETE});
  EXPECT_EQ(shell.calls[0].data.uID, window);
}

TEST_F(TrayIconTest, SettingAnEqualValueMakesNoShellCall) {
  tray->SetVisible(false);  // already false
  EXPECT_TRUE(shell.calls.empty());

  // While shown, each of these changes reaches the shell; the same value again must not.
  tray->SetVisible(true);
  const std::vector<std::pair<const char*, std::function<void()>>> setters = {
      {"Visible", [&] { tray->SetVisible(true); }},
      {"Hint", [&] { tray->SetHint("tip"); }},
      {"BalloonHint", [&] { tray->SetBalloonHint("balloon"); }},
      {"BalloonTitle", [&] { tray->SetBalloonTitle("title"); }},
      {"IconIndex", [&] { tray->SetIconIndex(2); }},
  };
  for (const auto& [name, set] : setters) {
    set();
    shell.calls.clear();
    set();
    EXPECT_TRUE(shell.calls.empty()) << name;
  }
}

TEST_F(TrayIconTest, EmptyIconShowsTheApplicationIcon) {
  tray->SetVisible(true);
  ASSERT_EQ(shell.calls.back().operation, NIM_ADD);
  EXPECT_EQ(shell.calls.back().data.hIcon, platform.appIcon.Handle());
  EXPECT_NE(platform.appIcon.Handle(), 0u);

  const TIcon own = TIcon::FromPng("own icon");
  tray->SetIcon(own);
  EXPECT_EQ(shell.calls.back().operation, NIM_MODIFY);
  EXPECT_EQ(shell.calls.back().data.hIcon, own.Handle());
}

TEST_F(TrayIconTest, LongTextsAreCutInTheRecordOnly) {
  struct Case {
    const char* name;
    std::size_t length;
    std::size_t kept;
    std::function<void(const std::string&)> set;
    std::function<std::string()> property;
    std::size_t offset;  // of the record field
    std::size_t size;
  };
  const std::vector<Case> cases = {
      {"Hint", 200, 127, [&](const std::string& t) { tray->SetHint(t); }, [&] { return tray->Hint(); },
       offsetof(NotifyIconData, szTip), sizeof(NotifyIconData::szTip)},
      {"BalloonHint", 300, 255, [&](const std::string& t) { tray->SetBalloonHint(t); },
       [&] { return tray->BalloonHint(); }, offsetof(NotifyIconData, szInfo), sizeof(NotifyIconData::szInfo)},
      {"BalloonTitle", 100, 63, [&](const std::string& t) { tray->SetBalloonTitle(t); },
       [&] { return tray->BalloonTitle(); }, offsetof(NotifyIconData, szInfoTitle),
       sizeof(NotifyIconData::szInfoTitle)},
  };
  for (const Case& c : cases) {
    std::string text;
    for (std::size_t i = 0; i < c.length; ++i) text.push_back(static_cast<char>('a' + i % 26));
    const NotifyIconData before = tray->Data();
    c.set(text);
    const NotifyIconData after = tray->Data();

    EXPECT_EQ(c.property(), text) << c.name;
    const char* field = reinterpret_cast<const char*>(&after) + c.offset;
    EXPECT_EQ(std::string(field, strnlen(field, c.size)), text.substr(0, c.kept)) << c.name;
    // Apart from that field the record is unchanged.
    NotifyIconData a = before;
    NotifyIconData b = after;
    std::memset(reinterpret_cast<char*>(&a) + c.offset, 0, c.size);
    std::memset(reinterpret_cast<char*>(&b) + c.offset, 0, c.size);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << c.name;
  }
}

TEST_F(TrayIconTest, EmptyHintRemovesTheTooltip) {
  tray->SetVisible(true);
  tray->SetHint("Parlivo Server");
  tray->SetHint("");
  ASSERT_EQ(shell.calls.back().operation, NIM_MODIFY);
  EXPECT_EQ(shell.calls.back().data.uFlags & NIF_TIP, 0u);
  EXPECT_EQ(FieldText(shell.calls.back().data.szTip), "");
}

TEST_F(TrayIconTest, BalloonRequestLastsUntilTheShellReportsItGone) {
  const std::vector<std::pair<std::uint32_t, bool>> cases = {
      {NIN_BALLOONUSERCLICK, true}, {NIN_BALLOONHIDE, false}, {NIN_BALLOONTIMEOUT, false}};
  tray->BalloonFlags = bfWarning;
  for (const auto& [code, stillRequested] : cases) {
    tray->ShowBalloon();
    ASSERT_EQ(shell.calls.back().operation, NIM_MODIFY);
    EXPECT_NE(shell.calls.back().data.uFlags & NIF_INFO, 0u);
    EXPECT_EQ(shell.calls.back().data.dwInfoFlags, NIIF_WARNING);
    Callback(code);
    EXPECT_EQ((tray->Data().uFlags & NIF_INFO) != 0, stillRequested) << code;
  }
}

TEST_F(TrayIconTest, ClickFiresOnReleaseBeforeMouseUpAndNotAgainAfterDoubleClick) {
  RecordEvents();
  // What the shell sends for a double click: press, release, double click, release.
  for (std::uint32_t code : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}) Callback(code);
  EXPECT_EQ(journal, (std::vector<std::string>{"down left", "click", "up left", "dblclick", "up left"}));
}

TEST_F(TrayIconTest, DoubleClickWithAnyButton) {
  RecordEvents();
  for (std::uint32_t code : {WM_LBUTTONDBLCLK, WM_RBUTTONDBLCLK, WM_MBUTTONDBLCLK}) {
    journal.clear();
    Callback(code);
    EXPECT_EQ(journal, std::vector<std::string>{"dblclick"}) << code;
  }
}

TEST_F(TrayIconTest, MouseEventsCarryButtonKeysAndPointerReadWhenHandled) {
  RecordEvents();
  platform.shift = ssShift | ssAlt;
  const struct {
    std::uint32_t code;
    const char* event;
    TShiftState button;
  } cases[] = {
      {WM_MOUSEMOVE, "move", 0},          {WM_LBUTTONDOWN, "down left", ssLeft},
      {WM_LBUTTONUP, "up left", ssLeft},  {WM_RBUTTONDOWN, "down right", ssRight},
      {WM_RBUTTONUP, "up right", ssRight},
      {WM_MBUTTONDOWN, "down middle", ssMiddle}, {WM_MBUTTONUP, "up middle", ssMiddle},
  };
  for (const auto& c : cases) {
    mouse.clear();
    Callback(c.code);
    ASSERT_EQ(mouse.size(), 1u) << c.event;
    EXPECT_EQ(mouse[0].event, c.event);
    EXPECT_EQ(mouse[0].shift, ssShift | ssAlt | c.button) << c.event;
    EXPECT_EQ((TPoint{mouse[0].x, mouse[0].y}), kPointer) << c.event;
  }
}

TEST_F(TrayIconTest, RightReleaseBringsApplicationToFrontThenOpensMenuAtPointer) {
  RecordEvents();
  Callback(WM_RBUTTONUP);  // without a menu
  EXPECT_EQ(journal, std::vector<std::string>{"up right"});

  journal.clear();
  FakeMenu menu(journal);
  tray->PopupMenu = &menu;
  Callback(WM_RBUTTONUP);
  EXPECT_EQ(journal, (std::vector<std::string>{"up right", "foreground", "process messages", "popup 640,480"}));
  EXPECT_FALSE(menu.AutoPopup());
  EXPECT_EQ(menu.PopupComponent(), &owner);
}

TEST_F(TrayIconTest, ShellRestartAddsAVisibleIconAgainButNotAHiddenOne) {
  for (const bool visible : {true, false}) {
    tray->SetVisible(visible);
    shell.calls.clear();
    Send(kRestartMessage);
    EXPECT_EQ(shell.Operations(), visible ? std::vector<NotifyOperation>{NIM_ADD} : std::vector<NotifyOperation>{})
        << visible;
  }
}

TEST_F(TrayIconTest, LogOffRemovesTheIcon) {
  tray->SetVisible(true);
  shell.calls.clear();
  EXPECT_EQ(Send(WM_QUERYENDSESSION).Result, 1);
  Send(WM_ENDSESSION, 0);  // the log-off was cancelled
  EXPECT_TRUE(shell.calls.empty());
  Send(WM_ENDSESSION, 1);
  EXPECT_EQ(shell.Operations(), std::vector<NotifyOperation>{NIM_DELETE});
}

struct ThreeFrames {
  ThreeFrames() {
    for (const char* png : {"frame 0", "frame 1", "frame 2"}) {
      frames.push_back(TIcon::FromPng(png));
      list.Add(frames.back());
    }
  }
  std::vector<TIcon> frames;
  TImageList list;
};

TEST_F(TrayIconTest, AnimationStepsThroughFramesAndKeepsTheLastAsIcon) {
  ThreeFrames three;
  std::vector<int> indexAtAnimate;
  tray->OnAnimate = [&](TCustomTrayIcon* sender) { indexAtAnimate.push_back(sender->IconIndex()); };
  tray->SetIcons(&three.list);
  tray->SetVisible(true);
  tray->SetAnimate(true);
  EXPECT_TRUE(tray->Animating());

  std::vector<std::uint32_t> shown;
  for (int step = 0; step < 4; ++step) {
    tray->AnimateStep();
    shown.push_back(shell.calls.back().data.hIcon);
  }
  const auto& f = three.frames;
  EXPECT_EQ(shown, (std::vector<std::uint32_t>{f[1].Handle(), f[2].Handle(), f[0].Handle(), f[1].Handle()}));
  EXPECT_EQ(indexAtAnimate, (std::vector<int>{0, 1, 2, 0}));  // fired before each change

  tray->SetAnimate(false);
  EXPECT_FALSE(tray->Animating());
  EXPECT_EQ(tray->Icon(), f[1]);
}

TEST_F(TrayIconTest, AnimationTimerRunsOnlyWhileVisibleAndArmed) {
  ThreeFrames three;
  int ticks = 0;
  tray->OnAnimate = [&](TCustomTrayIcon*) { ++ticks; };
  tray->SetIcons(&three.list);
  tray->SetAnimateInterval(5);
  tray->SetAnimate(true);
  EXPECT_FALSE(tray->Animating());  // not visible yet

  tray->SetVisible(true);
  EXPECT_TRUE(testing::PumpUntil([&] { return ticks >= 3; }));

  tray->SetAnimateInterval(0);
  EXPECT_FALSE(tray->Animating());
  tray->SetAnimateInterval(5);
  EXPECT_TRUE(tray->Animating());
  tray->SetVisible(false);
  EXPECT_FALSE(tray->Animating());
}

TEST_F(TrayIconTest, ShellRefusalRaisesOutOfResourcesAndLeavesTheTimer) {
  ThreeFrames three;
  tray->SetIcons(&three.list);
  tray->SetAnimate(true);

  shell.refuseAdd = true;
  try {
    tray->SetVisible(true);
    ADD_FAILURE() << "no error";
  } catch (const EOutOfResources& error) {
    EXPECT_STREQ(error.what(), "Cannot create shell notification icon");
  }
  EXPECT_TRUE(tray->Visible());
  EXPECT_FALSE(tray->Animating());  // the timer step was skipped

  // Once shown and animating, a refused removal leaves the timer running.
  shell.refuseAdd = false;
  tray->SetVisible(false);
  tray->SetVisible(true);
  ASSERT_TRUE(tray->Animating());
  shell.refuseDelete = true;
  try {
    tray->SetVisible(false);
    ADD_FAILURE() << "no error";
  } catch (const EOutOfResources& error) {
    EXPECT_STREQ(error.what(), "Cannot remove shell notification icon");
  }
  EXPECT_FALSE(tray->Visible());
  EXPECT_TRUE(tray->Animating());
}

TEST_F(TrayIconTest, HandlerErrorsGoToThePlatformNotTheEventLoop) {
  tray->OnDblClick = [](TCustomTrayIcon*) { throw std::runtime_error("handler failed"); };
  Callback(WM_LBUTTONDBLCLK);
  EXPECT_EQ(platform.errors, std::vector<std::string>{"handler failed"});
}

TEST(TrayIconImages, HandlesResolveWhileAnImageLivesAndAreNeverShared) {
  EXPECT_EQ(TIcon::FromPng("").Handle(), 0u);
  EXPECT_TRUE(TIcon::FromHandle(0).Empty());

  auto icon = std::make_unique<TIcon>(TIcon::FromPng("image"));
  const TIcon other = TIcon::FromPng("image");
  const std::uint32_t handle = icon->Handle();
  EXPECT_NE(handle, 0u);
  EXPECT_NE(other.Handle(), handle);

  TIcon copy = *icon;
  icon.reset();
  EXPECT_EQ(TIcon::FromHandle(handle).Png(), "image");  // the copy still holds it
  copy = TIcon();
  EXPECT_TRUE(TIcon::FromHandle(handle).Empty());
}

TEST(TrayIconQtBackend, RecordSetsTooltipAndContextActivationReachesTheTrayIcon) {
  std::vector<std::string> journal;
  FakePlatform platform(journal);
  QtNotifyShell shell;
  TTrayIcon tray(nullptr, shell, platform);
  shell.SetMessageTarget([&tray](TrayMessage& message) { tray.WindowProc(message); });
  tray.OnMouseDown = [&](TCustomTrayIcon*, TMouseButton button, TShiftState, int, int) {
    journal.push_back("down " + ButtonName(button));
  };
  tray.OnMouseUp = [&](TCustomTrayIcon*, TMouseButton button, TShiftState, int, int) {
    journal.push_back("up " + ButtonName(button));
  };

  tray.SetHint("Caf\xE9 server");  // Windows-1252
  shell.Notify(NIM_MODIFY, tray.Data());
  EXPECT_EQ(shell.TrayIcon().toolTip(), QString::fromUtf8("Caf\u00e9 server"));

  emit shell.TrayIcon().activated(QSystemTrayIcon::Context);
  EXPECT_EQ(journal, (std::vector<std::string>{"down right", "up right"}));
}

}  // namespace
}  // namespace parlivo
