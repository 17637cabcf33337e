// The file picker over a scripted dialog object (what it passes to the
// dialog, in which order, what it makes of the result, how the event sink
// answers), and the Qt backend driven through a real, offscreen QFileDialog.

#include "desktop/file_open_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "desktop/client_executable_picker.h"
#include "desktop/qt/qt_file_dialog.h"
#include "event_loop.h"
#include "modal_dialog_driver.h"

namespace parlivo {
namespace {

class FakeItem final : public ShellItem {
 public:
  FakeItem(std::optional<std::string> path, std::optional<std::string> display)
      : path_(std::move(path)), display_(std::move(display)) {}
  std::optional<std::string> GetDisplayName(ShellItemName kind) const override {
    return kind == ShellItemName::FileSystemPath ? path_ : display_;
  }

 private:
  std::optional<std::string> path_;
  std::optional<std::string> display_;
};

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

// The platform and its dialog object in one: every call is appended to
// `calls`, and what the dialog answers is set in the fields below. The
// dialog object records into the platform, so the record survives its
// release by the picker.
class FakePlatform final : public FileDialogPlatform {
 public:
  unsigned version = 10;
  bool createFails = false;
  std::set<std::string> unparsable;  // paths the shell refuses
  bool userConfirms = true;
  bool resultReadable = true;
  std::vector<FakeItem> chosen{{"/home/op/bin/PLV.exe", "PLV.exe"}};
  std::uint32_t typeIndexInDialog = 0;
  std::uintptr_t windowHandle = 0x4711;
  // Runs inside Show with the registered sink, as the user acts.
  std::function<void(FileOpenDialogObject&, FileDialogEvents&)> whileShown;

  std::vector<std::string> calls;

  unsigned MajorVersion() const override { return version; }
  std::unique_ptr<FileOpenDialogObject> CreateFileOpenDialog() override;
  std::unique_ptr<ShellItem> CreateItemFromParsingName(const std::string& path) override {
    calls.push_back("Parse " + path);
    if (unparsable.count(path) != 0) return nullptr;
    return std::make_unique<FakeItem>(path, path);
  }
};

class FakeDialog final : public FileOpenDialogObject {
 public:
  explicit FakeDialog(FakePlatform& platform) : p_(platform) {}
  ~FakeDialog() override { Log("Release"); }

  void SetClientGuid(const Guid& guid) override {
    Log("SetClientGuid " + Hex(guid.Data1) + " " + Hex(guid.Data2) + " " + Hex(guid.Data3) + " " + Hex(guid.Data4[0]) +
        " " + Hex(guid.Data4[7]));
  }
  void SetDefaultExtension(const std::string& text) override { Log("SetDefaultExtension " + text); }
  void SetFileName(const std::string& text) override { Log("SetFileName " + text); }
  void SetFileNameLabel(const std::string& text) override { Log("SetFileNameLabel " + text); }
  void SetOkButtonLabel(const std::string& text) override { Log("SetOkButtonLabel " + text); }
  void SetTitle(const std::string& text) override { Log("SetTitle " + text); }
  void SetFolder(const ShellItem& folder) override {
    Log("SetFolder " + folder.GetDisplayName(ShellItemName::FileSystemPath).value_or("?"));
  }
  void SetFileTypes(const std::vector<FileDialogFilter>& types) override {
    std::string text = "SetFileTypes";
    for (const FileDialogFilter& type : types) text += " [" + type.DisplayName + "|" + type.FileMask + "]";
    Log(text);
  }
  void SetFileTypeIndex(std::uint32_t index) override { Log("SetFileTypeIndex " + std::to_string(index)); }
  std::uint32_t GetFileTypeIndex() const override { return p_.typeIndexInDialog; }
  void SetOptions(std::uint32_t flags) override { Log("SetOptions " + Hex(flags)); }
  void AddPlace(const ShellItem& place, FileDialogPlacement where) override {
    Log("AddPlace " + place.GetDisplayName(ShellItemName::FileSystemPath).value_or("?") +
        (where == FileDialogPlacement::Bottom ? " bottom" : " top"));
  }
  std::optional<std::uint32_t> Advise(FileDialogEvents& sink) override {
    Log("Advise");
    sink_ = &sink;
    return 7;
  }
  void Unadvise(std::uint32_t cookie) override {
    Log("Unadvise " + std::to_string(cookie));
    sink_ = nullptr;
  }
  bool Show() override {
    Log("Show");
    if (p_.whileShown && sink_) p_.whileShown(*this, *sink_);
    return p_.userConfirms;
  }
  std::unique_ptr<ShellItem> GetResult() override {
    Log("GetResult");
    if (!p_.resultReadable || p_.chosen.empty()) return nullptr;
    return std::make_unique<FakeItem>(p_.chosen.front());
  }
  std::vector<std::unique_ptr<ShellItem>> GetResults() override {
    Log("GetResults");
    std::vector<std::unique_ptr<ShellItem>> items;
    if (p_.resultReadable) {
      for (const FakeItem& item : p_.chosen) items.push_back(std::make_unique<FakeItem>(item));
    }
    return items;
  }
  std::uintptr_t WindowHandle() const override { return p_.windowHandle; }

 private:
  void Log(std::string call) { p_.calls.push_back(std::move(call)); }
  FakePlatform& p_;
  FileDialogEvents* sink_ = nullptr;
};

std::unique_ptr<FileOpenDialogObject> FakePlatform::CreateFileOpenDialog() {
  calls.push_back(createFails ? "Create failed" : "Create");
  if (createFails) return nullptr;
  return std::make_unique<FakeDialog>(*this);
}

struct FileOpenDialog : ::testing::Test {
  FakePlatform platform;
  TFileOpenDialog picker{platform};
};

const std::vector<std::string> kShowAndCleanUp = {"Advise", "Show", "GetResult", "Unadvise 7", "Release"};

TEST_F(FileOpenDialog, MainWindowConfigurationPassesExactlyItsSettingsInOrder) {
  ConfigureClientExecutablePicker(picker);
  EXPECT_EQ(picker.Title, "Parlivo Server PLV.exe path");
  EXPECT_EQ(picker.FileNameLabel, "Select PLV.exe");

  ASSERT_TRUE(picker.ChooseFile());
  const std::vector<std::string> expected = {
      "Create",
      "SetFileNameLabel Select PLV.exe",
      "SetTitle Parlivo Server PLV.exe path",
      "Parse .",
      "SetFolder .",
      "SetFileTypes [Executables (*.exe)|*.exe] [All files (*)|*]",
      "SetFileTypeIndex 0",
      "SetOptions 0x10001804",
      "Advise",
      "Show",
      "GetResult",
      "Unadvise 7",
      "Release",
  };
  EXPECT_EQ(platform.calls, expected);
  EXPECT_EQ(picker.FileName, "/home/op/bin/PLV.exe");
  EXPECT_EQ(picker.Dialog(), nullptr);
}

TEST_F(FileOpenDialog, EveryPropertyIsAppliedInOrderAndEveryChoiceCollected) {
  picker.ClientGuid = "{0A1B2C3D-4E5F-4a6b-9C8D-112233445566}";
  picker.DefaultExtension = "txt";
  picker.DefaultFolder = "/srv";
  picker.FavoriteLinks = {{"/a"}, {"nowhere"}, {"/b"}};
  picker.FileName = "start.txt";
  picker.FileNameLabel = "Name:";
  picker.FileTypes = {{"Text", "*.txt"}, {"All", "*.*"}};
  picker.FileTypeIndex = 2;
  picker.OkButtonLabel = "Take";
  picker.Options = {fdoAllowMultiSelect, fdoNoChangeDir};
  picker.Title = "Pick";
  picker.OnExecute = [this](TCustomFileDialog* sender) {
    EXPECT_EQ(sender, &picker);
    EXPECT_NE(picker.Dialog(), nullptr);
    platform.calls.push_back("OnExecute");
  };
  platform.unparsable = {"nowhere"};
  platform.chosen = {{"/srv/one.txt", "one.txt"}, {std::nullopt, "Two"}};

  ASSERT_TRUE(picker.ChooseFile());
  const std::vector<std::string> expected = {
      "Create",
      "SetClientGuid 0xa1b2c3d 0x4e5f 0x4a6b 0x9c 0x66",
      "SetDefaultExtension txt",
      "SetFileName start.txt",
      "SetFileNameLabel Name:",
      "SetOkButtonLabel Take",
      "SetTitle Pick",
      "Parse /srv",
      "SetFolder /srv",
      "SetFileTypes [Text|*.txt] [All|*.*]",
      "SetFileTypeIndex 2",
      "SetOptions 0x208",
      "Parse /a",
      "AddPlace /a bottom",
      "Parse nowhere",
      "Parse /b",
      "AddPlace /b bottom",
      "OnExecute",
      "Advise",
      "Show",
      "GetResults",
      "Unadvise 7",
      "Release",
  };
  EXPECT_EQ(platform.calls, expected);
  EXPECT_EQ(picker.Files(), (std::vector<std::string>{"/srv/one.txt", "Two"}));
  EXPECT_EQ(picker.FileName, "/srv/one.txt");
}

TEST_F(FileOpenDialog, ResultIsThePathOrElseTheDisplayName) {
  struct Case {
    const char* name;
    std::optional<std::string> path;
    std::string expected;
  };
  const Case cases[] = {
      {"file-system item", "/home/op/bin/PLV.exe", "/home/op/bin/PLV.exe"},
      {"item without a path", std::nullopt, "Network PLV"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform.chosen = {{c.path, "Network PLV"}};
    ASSERT_TRUE(picker.ChooseFile());
    EXPECT_EQ(picker.FileName, c.expected);
    EXPECT_EQ(picker.Files(), std::vector<std::string>{c.expected});
  }
}

TEST_F(FileOpenDialog, ReturnsFalseAndCleansUpWhenNothingIsChosen) {
  struct Case {
    const char* name;
    std::function<void(FakePlatform&)> arrange;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {"dialog cannot be created", [](FakePlatform& p) { p.createFails = true; }, {"Create failed"}},
      {"user cancels",
       [](FakePlatform& p) { p.userConfirms = false; },
       {"Create", "SetOptions 0x0", "Advise", "Show", "Unadvise 7", "Release"}},
      {"result cannot be read",
       [](FakePlatform& p) { p.resultReadable = false; },
       {"Create", "SetOptions 0x0", "Advise", "Show", "GetResult", "Unadvise 7", "Release"}},
      {"item has no name at all",
       [](FakePlatform& p) { p.chosen = {{std::nullopt, std::nullopt}}; },
       {"Create", "SetOptions 0x0", "Advise", "Show", "GetResult", "Unadvise 7", "Release"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform fresh;
    TFileOpenDialog dialog(fresh);
    ASSERT_TRUE(dialog.ChooseFile());  // a previous choice, which a false call must not report
    fresh.calls.clear();
    dialog.FileName.clear();
    c.arrange(fresh);

    EXPECT_FALSE(dialog.ChooseFile());
    EXPECT_EQ(fresh.calls, c.calls);
    EXPECT_EQ(dialog.FileName, "");
    EXPECT_TRUE(dialog.Files().empty());
    EXPECT_EQ(dialog.Dialog(), nullptr);
  }
}

TEST_F(FileOpenDialog, UnparsableSettingsAreSkippedWithoutError) {
  struct Case {
    const char* name;
    std::function<void(TFileOpenDialog&, FakePlatform&)> arrange;
    const char* skipped;  // the call that must not happen
  };
  const std::vector<Case> cases = {
      {"default folder the shell refuses",
       [](TFileOpenDialog& d, FakePlatform& p) {
         ConfigureClientExecutablePicker(d);
         p.unparsable = {"."};
       },
       "SetFolder"},
      {"favourite link the shell refuses",
       [](TFileOpenDialog& d, FakePlatform& p) {
         d.FavoriteLinks = {{"gone"}};
         p.unparsable = {"gone"};
       },
       "AddPlace"},
      {"client GUID that is no GUID",
       [](TFileOpenDialog& d, FakePlatform&) { d.ClientGuid = "0A1B2C3D-4E5F-4a6b-9C8D-112233445566"; },
       "SetClientGuid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform fresh;
    TFileOpenDialog dialog(fresh);
    c.arrange(dialog, fresh);
    EXPECT_TRUE(dialog.ChooseFile());
    for (const std::string& call : fresh.calls) EXPECT_NE(call.rfind(c.skipped, 0), 0u) << call;
    EXPECT_NE(std::find(fresh.calls.begin(), fresh.calls.end(), "Show"), fresh.calls.end());
  }
}

TEST_F(FileOpenDialog, PlatformBelowVersion6RaisesAndShowsNothing) {
  ConfigureClientExecutablePicker(picker);
  platform.version = 5;
  try {
    picker.ChooseFile();
    FAIL() << "no exception";
  } catch (const EPlatformVersionException& e) {
    EXPECT_STREQ(e.what(), "TFileOpenDialog requires Windows Vista or later");
  }
  EXPECT_TRUE(platform.calls.empty());

  platform.version = 6;
  EXPECT_TRUE(picker.ChooseFile());
}

TEST_F(FileOpenDialog, SinkAnswersNotImplementedWithoutHandlersAndForwardsToThem) {
  struct Answers {
    DialogResult fileOk, folderChanging, folderChange, selection, share, type;
    FileDialogShareViolationAnswer shareAnswer = FileDialogShareViolationAnswer::Default;
    std::uintptr_t handleWhileShown = 0;
  } answers;
  platform.typeIndexInDialog = 3;
  platform.whileShown = [&](FileOpenDialogObject& dialog, FileDialogEvents& sink) {
    const FakeItem item("/x", "x");
    answers.selection = sink.OnSelectionChange(dialog);
    answers.handleWhileShown = picker.Handle();
    answers.type = sink.OnTypeChange(dialog);
    answers.folderChanging = sink.OnFolderChanging(dialog, item);
    answers.folderChange = sink.OnFolderChange(dialog);
    answers.share = sink.OnShareViolation(dialog, item, answers.shareAnswer);
    answers.fileOk = sink.OnFileOk(dialog);
  };

  ASSERT_TRUE(picker.ChooseFile());
  for (DialogResult r : {answers.fileOk, answers.folderChanging, answers.folderChange, answers.selection,
                         answers.share, answers.type}) {
    EXPECT_EQ(r, kDialogNotImplemented);
  }
  EXPECT_EQ(answers.handleWhileShown, 0x4711u);  // fetched by the first selection change
  EXPECT_EQ(picker.Handle(), 0u);
  EXPECT_EQ(picker.FileTypeIndex, 3u);  // updated even without a handler

  std::vector<std::string> fired;
  picker.OnFileOkClick = [&](TCustomFileDialog*, bool& canClose) {
    EXPECT_TRUE(canClose);
    canClose = false;
    fired.push_back("FileOk");
  };
  picker.OnFolderChanging = [&](TCustomFileDialog*, bool& canChange) {
    EXPECT_TRUE(canChange);
    fired.push_back("FolderChanging");
  };
  picker.OnFolderChange = [&](TCustomFileDialog*) { fired.push_back("FolderChange"); };
  picker.OnSelectionChange = [&](TCustomFileDialog*) { fired.push_back("Selection"); };
  picker.OnShareViolation = [&](TCustomFileDialog*, TFileDialogShareViolationResponse& response) {
    EXPECT_EQ(response, fsrDefault);
    response = fsrRefuse;
    fired.push_back("Share");
  };
  picker.OnTypeChange = [&](TCustomFileDialog* sender) {
    fired.push_back("Type " + std::to_string(sender->FileTypeIndex));
  };
  platform.typeIndexInDialog = 2;

  ASSERT_TRUE(picker.ChooseFile());
  EXPECT_EQ(fired,
            (std::vector<std::string>{"Selection", "Type 2", "FolderChanging", "FolderChange", "Share", "FileOk"}));
  EXPECT_EQ(answers.fileOk, kDialogFalse);
  EXPECT_EQ(answers.folderChanging, kDialogOk);
  EXPECT_EQ(answers.share, kDialogOk);
  EXPECT_EQ(answers.shareAnswer, FileDialogShareViolationAnswer::Refuse);
  EXPECT_EQ(answers.selection, kDialogOk);
  EXPECT_EQ(answers.type, kDialogOk);
}

TEST_F(FileOpenDialog, HandlerErrorInsideTheDialogIsRaisedAfterCleanup) {
  picker.OnSelectionChange = [](TCustomFileDialog*) { throw std::runtime_error("handler failed"); };
  DialogResult answer = kDialogOk;
  platform.whileShown = [&](FileOpenDialogObject& dialog, FileDialogEvents& sink) {
    answer = sink.OnSelectionChange(dialog);
  };

  EXPECT_THROW(
      {
        try {
          picker.ChooseFile();
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "handler failed");
          throw;
        }
      },
      std::runtime_error);
  EXPECT_EQ(answer, kDialogFailed);
  ASSERT_GE(platform.calls.size(), 2u);
  EXPECT_EQ(platform.calls[platform.calls.size() - 2], "Unadvise 7");
  EXPECT_EQ(platform.calls.back(), "Release");
  EXPECT_EQ(picker.Dialog(), nullptr);
}

TEST(FileOpenDialogGuid, ParsesOnlyTheBracedTextForm) {
  const Guid expected{0x89ABCDEF, 0x0123, 0x4567, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
  EXPECT_EQ(ParseGuid("{89ABCDEF-0123-4567-FEDC-BA9876543210}"), expected);
  EXPECT_EQ(ParseGuid("{89abcdef-0123-4567-fedc-ba9876543210}"), expected);
  for (const char* bad : {"89ABCDEF-0123-4567-FEDC-BA9876543210", "{89ABCDEF-0123-4567-FEDC-BA987654321}",
                          "{89ABCDEF-0123-4567-FEDC-BA9876543210", "{89ABCDEF+0123-4567-FEDC-BA9876543210}",
                          "{89ABCDEF-0123-4567-FEDG-BA9876543210}", ""}) {
    EXPECT_EQ(ParseGuid(bad), std::nullopt) << bad;
  }
}

// --- The Qt backend.

TEST(FileOpenDialogQt, NameFilterShowsThePatternsOnce) {
  struct Case {
    FileDialogFilter type;
    const char* expected;
  };
  const Case cases[] = {
      {{"Executables (*.exe)", "*.exe"}, "Executables (*.exe)"},
      {{"Programs", "*.exe;*.com"}, "Programs (*.exe *.com)"},
      {{"Programs (*.exe;*.com)", "*.exe;*.com"}, "Programs (*.exe *.com)"},
      {{"", "*.txt"}, "*.txt"},
  };
  for (const Case& c : cases) EXPECT_EQ(QtNameFilter(c.type), QString::fromUtf8(c.expected)) << c.type.DisplayName;
}

// The operator types a program's name in the folder the picker opens in;
// the picker returns its full path, whether or not the name has an
// extension: the name is taken as typed, with no suffix added, and Open
// can be pressed although the selected "*.exe" filter hides the program.
TEST(FileOpenDialogQt, MainWindowPickerShowsItsSettingsAndReturnsTheFullPath) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  for (const char* name : {"PLV.exe", "parlivo-chat"}) {
    QFile file(dir.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ASSERT_TRUE(file.setPermissions(file.permissions() | QFileDevice::ExeOwner));
  }
  const QString previous = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(dir.path()));  // the picker starts in "."

  for (const char* name : {"PLV.exe", "parlivo-chat"}) {
    QtFileDialogPlatform platform;
    TFileOpenDialog picker(platform);
    ConfigureClientExecutablePicker(picker);
    testing::ModalDialogDriver driver([&](QFileDialog& dialog) {
      EXPECT_EQ(dialog.windowTitle(), "Parlivo Server PLV.exe path");
      EXPECT_EQ(dialog.labelText(QFileDialog::FileName), "Select PLV.exe");
      EXPECT_EQ(dialog.nameFilters(), (QStringList{"Executables (*.exe)", "All files (*)"}));
      EXPECT_EQ(dialog.selectedNameFilter(), "Executables (*.exe)");
      EXPECT_EQ(dialog.defaultSuffix().toStdString(), "");
      EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
      EXPECT_TRUE(dialog.filter().testFlag(QDir::Hidden));
      EXPECT_EQ(dialog.directory().absolutePath(), dir.path());
      EXPECT_EQ(dialog.windowModality(), Qt::ApplicationModal);
      // Typed once the folder is listed, as a user sees it.
      const auto* model = dialog.findChild<QFileSystemModel*>();
      EXPECT_TRUE(testing::PumpUntil([&] { return model && model->rowCount(model->index(dir.path())) > 0; }));
      EXPECT_TRUE(testing::TypeAndOpen(dialog, name)) << "Open cannot be pressed for " << name;
    });

    EXPECT_TRUE(picker.ChooseFile()) << name;
    EXPECT_TRUE(driver.acted);
    EXPECT_EQ(picker.FileName, dir.filePath(name).toStdString());
  }
  QDir::setCurrent(previous);
}

TEST(FileOpenDialogQt, CancelReturnsFalse) {
  QtFileDialogPlatform platform;
  TFileOpenDialog picker(platform);
  ConfigureClientExecutablePicker(picker);
  testing::ModalDialogDriver driver([](QFileDialog& dialog) { dialog.reject(); });

  EXPECT_FALSE(picker.ChooseFile());
  EXPECT_TRUE(driver.acted);
  EXPECT_EQ(picker.FileName, "");
}

}  // namespace
}  // namespace parlivo
