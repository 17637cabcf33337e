// The operator's options and the window's geometry in an INI file per port
// under the user's data folder. Read once when the form is created, written
// at every start of the server (with a start counter and the time of the
// last start); nothing is saved when the program closes.

#include <QDateTime>
#include <QLocale>
#include <filesystem>
#include <string>

#include "app/ini_file.h"
#include "app/main_form.h"
#include "app/settings_location.h"
#include "app/str_to_int.h"
#include "encoding/codepage_1252.h"

namespace parlivo {
namespace {

constexpr const char* kSection = "frmServer";
// The server's limits live in a section of their own: they are no window
// state, and an operator edits them by hand.
constexpr const char* kLimitsSection = "Limits";
// The encrypted port has a section of its own too: its files are named by hand.
constexpr const char* kTlsSection = "TLS";
// The one address to listen on (--listen).
constexpr const char* kListenKey = "ListenAddress";

// A positive count from the file, or `fallback` for anything else.
std::uint32_t ReadCount(const IniFile& ini, const char* key, std::uint32_t fallback, bool zeroAllowed) {
  const std::int32_t value = ini.ReadInteger(kLimitsSection, key, static_cast<std::int32_t>(fallback));
  if (value < 0 || (value == 0 && !zeroAllowed)) return fallback;
  return static_cast<std::uint32_t>(value);
}
constexpr std::int32_t kDefaultPosition = 4;

// The client program's path is kept in the file system's own encoding: it
// names a local file and never travels to a client.
bool FileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

std::string Now() {
  const QDateTime now = QDateTime::currentDateTime();
  const QLocale locale = QLocale::system();
  const QString text = locale.toString(now.date(), QLocale::ShortFormat) + " " +
                       locale.toString(now.time(), QLocale::LongFormat);
  return Utf8ToWindows1252(text.toStdString());
}

// The listing mode a file selects. A file written by this program sets
// exactly one of the three keys; a hand-edited one that sets none or
// several gets the design mode, Rooms, so that exactly one button is
// checked and it names the mode the server runs.
TClientStatusUpdate ListingModeOf(bool all, bool rooms, bool none) {
  if (all + rooms + none != 1) return Rooms;
  if (all) return AllClients;
  return none ? UpdateNone : Rooms;
}

}  // namespace

std::string TfrmServer::SettingsFileName() const {
  return SettingsFilePath(GetSpecialFolderPath(), environment_.programFileName, edPort.Text);
}

// One key for every port of this program: a client that pinned it once
// knows the server whatever port the operator picks.
std::string TfrmServer::TlsCertificateFile() const {
  const std::string settings = SettingsFilePath(GetSpecialFolderPath(), environment_.programFileName, "tls");
  return settings.substr(0, settings.size() - 4) + ".crt";
}

std::string TfrmServer::TlsKeyFile() const {
  const std::string settings = SettingsFilePath(GetSpecialFolderPath(), environment_.programFileName, "tls");
  return settings.substr(0, settings.size() - 4) + ".key";
}

void TfrmServer::LoadSettings() {
  std::int32_t port = 0;
  if (!TryStrToInt(edPort.Text, port)) edPort.Text = std::to_string(kDesignPort);
  const IniFile ini(SettingsFileName());

  if (ini.ReadInteger(kSection, "Position", kDefaultPosition) == 0) Position = TPosition::poDesigned;
  Top = ini.ReadInteger(kSection, "Top", Top);
  Left = ini.ReadInteger(kSection, "Left", Left);
  Height = ini.ReadInteger(kSection, "Height", Height);
  Width = ini.ReadInteger(kSection, "Width", Width);

  // Setting a button runs its handler when it becomes checked; then the
  // checked one runs again, so a saved risky mode logs its warning twice.
  const TClientStatusUpdate mode = ListingModeOf(ini.ReadBool(kSection, "AllClients", false),
                                                 ini.ReadBool(kSection, "Rooms", false),
                                                 ini.ReadBool(kSection, "None", false));
  rbAll.SetChecked(mode == AllClients);
  rbRooms.SetChecked(mode == Rooms);
  rbNone.SetChecked(mode == UpdateNone);
  if (rbAll.Checked()) rbAllClick();
  if (rbRooms.Checked()) rbRoomsClick();
  if (rbNone.Checked()) rbNoneClick();

  chkSameNick.SetChecked(ini.ReadBool(kSection, "SameNick", chkSameNick.Checked()));
  if (chkSameNick.Checked()) chkSameNickClick();
  chkTray.SetChecked(ini.ReadBool(kSection, "Tray", chkTray.Checked()));
  chkStyle.SetChecked(ini.ReadBool(kSection, "Wordwrap", chkStyle.Checked()));
  chkAuto.SetChecked(ini.ReadBool(kSection, "Auto", chkAuto.Checked()));

  const std::int32_t portDefault = TryStrToInt(edPort.Text, port) ? port : kDesignPort;
  edPort.Text = std::to_string(ini.ReadInteger(kSection, "Port", portDefault));

  edPLV.Text = ini.ReadString(kSection, "PLV", "");
  if (!edPLV.Text.empty() && !FileExists(edPLV.Text)) edPLV.Text.clear();

  MemoryBudgetMiB = ReadCount(ini, "MemoryBudgetMiB", MemoryBudgetMiB, false);
  UnlimitedInput = ini.ReadBool(kLimitsSection, "UnlimitedInput", UnlimitedInput);
  MaxClients = ReadCount(ini, "MaxClients", MaxClients, true);
  MaxClientsPerAddress = ReadCount(ini, "MaxClientsPerAddress", MaxClientsPerAddress, true);
  chkAdvertise.SetChecked(ini.ReadBool(kSection, "Advertise", chkAdvertise.Checked()));
  edName.Text = ini.ReadString(kSection, "ServiceName", edName.Text);
  Access.allowFrom = ini.ReadString(kSection, kAllowKey, Access.allowFrom);
  Access.denyFrom = ini.ReadString(kSection, kDenyKey, Access.denyFrom);
  Access.admitAny = ini.ReadBool(kSection, kAdmitAnyKey, Access.admitAny);
  chkTls.SetChecked(ini.ReadBool(kTlsSection, "Enabled", chkTls.Checked()));
  edTlsPort.Text = ini.ReadString(kTlsSection, "Port", edTlsPort.Text);
  Tls.certificateFile = ini.ReadString(kTlsSection, "Certificate", Tls.certificateFile);
  Tls.keyFile = ini.ReadString(kTlsSection, "Key", Tls.keyFile);
  TlsOnly = ini.ReadBool(kTlsSection, "Only", TlsOnly);
  ListenAddress = ini.ReadString(kSection, kListenKey, ListenAddress);
  view_.ControlsChanged();
}

void TfrmServer::SaveSettings() {
  const std::string path = SettingsFileName();
  if (!CreateFoldersFor(path)) return;  // no folder, no settings: said nowhere
  IniFile ini(path);

  ini.WriteInteger(kSection, "Position", 0);
  ini.WriteInteger(kSection, "Top", Top);
  ini.WriteInteger(kSection, "Left", Left);
  ini.WriteInteger(kSection, "Height", Height);
  ini.WriteInteger(kSection, "Width", Width);
  ini.WriteBool(kSection, "AllClients", rbAll.Checked());
  ini.WriteBool(kSection, "Rooms", rbRooms.Checked());
  ini.WriteBool(kSection, "None", rbNone.Checked());
  ini.WriteBool(kSection, "SameNick", chkSameNick.Checked());
  ini.WriteBool(kSection, "Tray", chkTray.Checked());
  ini.WriteBool(kSection, "Wordwrap", chkStyle.Checked());
  ini.WriteBool(kSection, "Auto", chkAuto.Checked());

  std::int32_t port = 0;
  if (!TryStrToInt(edPort.Text, port)) {
    port = kDesignPort;
    edPort.Text = std::to_string(kDesignPort);
  }
  ini.WriteInteger(kSection, "Port", port);

  if (!edPLV.Text.empty() && FileExists(edPLV.Text)) {
    ini.WriteString(kSection, "PLV", edPLV.Text);
  } else {
    edPLV.Text.clear();  // the key in the file stays as it was
  }
  ini.WriteInteger(kLimitsSection, "MemoryBudgetMiB", static_cast<std::int32_t>(MemoryBudgetMiB));
  ini.WriteBool(kLimitsSection, "UnlimitedInput", UnlimitedInput);
  ini.WriteInteger(kLimitsSection, "MaxClients", static_cast<std::int32_t>(MaxClients));
  ini.WriteInteger(kLimitsSection, "MaxClientsPerAddress", static_cast<std::int32_t>(MaxClientsPerAddress));
  ini.WriteBool(kSection, "Advertise", chkAdvertise.Checked());
  ini.WriteString(kSection, "ServiceName", edName.Text);
  ini.WriteString(kSection, kAllowKey, Access.allowFrom);
  ini.WriteString(kSection, kDenyKey, Access.denyFrom);
  ini.WriteBool(kSection, kAdmitAnyKey, Access.admitAny);
  ini.WriteBool(kTlsSection, "Enabled", chkTls.Checked());
  ini.WriteInteger(kTlsSection, "Port", TlsPortValue());
  ini.WriteString(kTlsSection, "Certificate", Tls.certificateFile);
  ini.WriteString(kTlsSection, "Key", Tls.keyFile);
  ini.WriteBool(kTlsSection, "Only", TlsOnly);
  // Only a server that was ever limited to one address has the key.
  if (!ListenAddress.empty() || !ini.ReadString(kSection, kListenKey, "").empty())
    ini.WriteString(kSection, kListenKey, ListenAddress);
  ini.WriteInteger(kSection, "TimesRun", ini.ReadInteger(kSection, "TimesRun", 0) + 1);
  ini.WriteString(kSection, "LastRun", Now());
}

}  // namespace parlivo
