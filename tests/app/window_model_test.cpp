// The window's behaviour on the form model: layout values, the resize rule,
// word wrap, hiding into the notification area and back, the client
// program launcher, and closing.

#include "form_fixture.h"

namespace parlivo::testing {
namespace {

using Window = FormFixture;

TEST_F(Window, DesignCaptionsAndSizes) {
  EXPECT_EQ(form.Caption, "Parlivo Server");
  EXPECT_EQ(std::vector<int>({form.Left, form.Top, form.Width, form.Height}), std::vector<int>({547, 616, 703, 413}));
  const std::vector<std::pair<const TPanel*, int>> heights = {
      {&form.pnlCommands, 24}, {&form.pnlPLV, 41}, {&form.pnlUpdate, 75}, {&form.pnlSameName, 24},
      {&form.pnlTray, 20},     {&form.pnlStyle, 20}, {&form.pnlAuto, 20}, {&form.pnlPort, 20}};
  for (const auto& [panel, height] : heights) EXPECT_EQ(panel->Height, height);
  EXPECT_EQ(form.pnlClients.Width, 228);
  EXPECT_EQ(form.edPort.Width, 54);
  EXPECT_EQ(form.edPLV.Width, 169);
  const std::vector<std::pair<const TMenuItem*, std::string>> menus = {
      {&form.mmShow, "Show &Window"}, {&form.mmStop, "&Stop Server"}, {&form.mmPLV, "&Open new Client Instance"},
      {&form.mmClose, "E&xit Application"}, {&form.pmKick, "Kick  Client"}, {&form.pmDisconnect, "Disconnect Client"},
      {&form.pmDisconnectAll, "Disconnect All"}};
  for (const auto& [item, caption] : menus) EXPECT_EQ(item->Caption, caption);
  EXPECT_EQ(form.TrayIcon.Hint(), "Parlivo Server");
  EXPECT_EQ(form.TrayIcon.BalloonFlags, bfInfo);
  EXPECT_FALSE(form.TrayIcon.Visible());
}

TEST_F(Window, ResizeRuleSpansTheRunButtonAndGivesTheRosterTheRest) {
  form.pnlCommands.Width = 703;
  form.pnlClients.Height = 389;
  form.FormResize();
  EXPECT_EQ(form.sbRun.Width, 688);
  EXPECT_EQ(form.lvClientsHeight, 389 - 220 - 20 - 42 - 5);
}

TEST_F(Window, WordWrapToggle) {
  form.chkStyle.Click();
  EXPECT_FALSE(form.mChatWordWrap);
  EXPECT_EQ(form.mChatScrollBars, TScrollStyle::ssBoth);
  form.chkStyle.Click();
  EXPECT_TRUE(form.mChatWordWrap);
  EXPECT_EQ(form.mChatScrollBars, TScrollStyle::ssVertical);
}

TEST_F(Window, TrayStopItemFollowsHideShowStartAndStop) {
  form.chkTray.SetChecked(true);
  form.ApplicationMinimize();  // the operator minimises while the server is stopped
  EXPECT_EQ(form.mmStop.Caption, "&Run Server");
  EXPECT_TRUE(form.TrayIcon.Visible());
  EXPECT_FALSE(view.taskbarButton);
  form.mmShow.Click();
  EXPECT_FALSE(form.TrayIcon.Visible());
  EXPECT_TRUE(view.taskbarButton);

  ASSERT_TRUE(Start());
  EXPECT_EQ(form.mmStop.Caption, "Stop &Server");
  form.mmStop.Click();
  EXPECT_FALSE(form.Server->Listen());
  EXPECT_EQ(form.mmStop.Caption, "&Run Server");
  form.mmStop.Click();
  EXPECT_EQ(form.mmStop.Caption, "&Stop Server");
}

TEST_F(Window, WithoutANotificationAreaTheWindowOnlyMinimises) {
  desktop.shell.available = false;
  form.chkTray.SetChecked(true);
  ASSERT_TRUE(Start());
  EXPECT_EQ(view.minimized, 1);
  form.ApplicationMinimize();
  EXPECT_TRUE(view.taskbarButton);
  EXPECT_FALSE(form.TrayIcon.Visible());
  EXPECT_TRUE(desktop.shell.operations.empty() ||
              std::find(desktop.shell.operations.begin(), desktop.shell.operations.end(), tray::NIM_ADD) ==
                  desktop.shell.operations.end());
}

TEST_F(Window, PickingTheClientProgramEnablesItsMenuItemAndCancellingDisablesIt) {
  desktop.fileDialogs.choice = "/opt/plv/PLV.exe";
  form.btnPLV.Click();
  EXPECT_EQ(form.edPLV.Text, "/opt/plv/PLV.exe");
  EXPECT_TRUE(form.mmPLV.Enabled);
  desktop.fileDialogs.choice.reset();
  form.btnPLV.Click();
  EXPECT_EQ(form.edPLV.Text, "/opt/plv/PLV.exe");  // kept
  EXPECT_FALSE(form.mmPLV.Enabled);
  form.sbOpen.Click();  // works while the menu item is disabled
  EXPECT_EQ(view.opened, std::vector<std::string>{"/opt/plv/PLV.exe"});
}

TEST_F(Window, StartShowsTheLauncherItemOnlyForAnExistingClientProgram) {
  const std::string program = DataHome() + "/PLV.exe";
  { std::ofstream(program) << "x"; }
  form.edPLV.Text = program;
  ASSERT_TRUE(Start());
  EXPECT_TRUE(form.mmPLV.Visible);
  form.sbRunClick();
  std::filesystem::remove(program);
  ASSERT_TRUE(Start());  // the save empties the path of a program that is gone
  EXPECT_TRUE(form.edPLV.Text.empty());
  EXPECT_FALSE(form.mmPLV.Visible);
  form.mmPLVClick();
  EXPECT_TRUE(view.opened.empty());
}

TEST_F(Window, ClosingAsksEveryConnectedClientToLeave) {
  ASSERT_TRUE(Start());
  Client& ann = Join("Ann", "Lobby");
  Client& bob = Connect();
  Settle();
  EXPECT_TRUE(form.FormCloseQuery());
  EXPECT_EQ(form.Server, nullptr);
  for (Client* client : {&ann, &bob}) {
    PumpUntil([&] {
      client->Poll();
      return !client->Payloads(14).empty();
    });
    EXPECT_EQ(client->Payloads(14).size(), 1u);
  }
}

}  // namespace
}  // namespace parlivo::testing
