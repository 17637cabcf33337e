#pragma once
// Desktop seams for form tests: a notification area that records what is
// shown, and a file dialog that "chooses" a scripted path or is cancelled.

#include <optional>
#include <string>
#include <vector>

#include "app/headless_desktop.h"
#include "app/main_form.h"

namespace parlivo::testing {

class RecordingShell final : public NotifyShell {
 public:
  bool available = true;
  bool shown = false;
  std::vector<tray::NotifyOperation> operations;

  bool Notify(tray::NotifyOperation operation, const NotifyIconData&) override {
    operations.push_back(operation);
    if (operation == tray::NIM_ADD) shown = true;
    if (operation == tray::NIM_DELETE) shown = false;
    return true;
  }
  bool Available() const override { return available; }
};

class ScriptedFileDialogs final : public FileDialogPlatform {
 public:
  // The path the next dialog returns; empty: the operator cancels.
  std::optional<std::string> choice;
  int shown = 0;

  unsigned MajorVersion() const override { return 10; }
  std::unique_ptr<FileOpenDialogObject> CreateFileOpenDialog() override { return std::make_unique<Dialog>(*this); }
  std::unique_ptr<ShellItem> CreateItemFromParsingName(const std::string& path) override {
    return std::make_unique<Item>(path);
  }

 private:
  struct Item final : ShellItem {
    explicit Item(std::string p) : path(std::move(p)) {}
    std::optional<std::string> GetDisplayName(ShellItemName) const override { return path; }
    std::string path;
  };
  struct Dialog final : FileOpenDialogObject {
    explicit Dialog(ScriptedFileDialogs& o) : owner(o) {}
    void SetClientGuid(const Guid&) override {}
    void SetDefaultExtension(const std::string&) override {}
    void SetFileName(const std::string&) override {}
    void SetFileNameLabel(const std::string&) override {}
    void SetOkButtonLabel(const std::string&) override {}
    void SetTitle(const std::string&) override {}
    void SetFolder(const ShellItem&) override {}
    void SetFileTypes(const std::vector<FileDialogFilter>&) override {}
    void SetFileTypeIndex(std::uint32_t) override {}
    std::uint32_t GetFileTypeIndex() const override { return 0; }
    void SetOptions(std::uint32_t) override {}
    void AddPlace(const ShellItem&, FileDialogPlacement) override {}
    std::optional<std::uint32_t> Advise(FileDialogEvents&) override { return 1; }
    void Unadvise(std::uint32_t) override {}
    bool Show() override {
      ++owner.shown;
      return owner.choice.has_value();
    }
    std::unique_ptr<ShellItem> GetResult() override { return std::make_unique<Item>(*owner.choice); }
    std::vector<std::unique_ptr<ShellItem>> GetResults() override { return {}; }
    std::uintptr_t WindowHandle() const override { return 0; }
    ScriptedFileDialogs& owner;
  };
};

struct FakeDesktop {
  RecordingShell shell;
  HeadlessTrayPlatform trayPlatform;
  ScriptedFileDialogs fileDialogs;
  DesktopServices Services() { return DesktopServices{shell, trayPlatform, fileDialogs, {}, nullptr}; }
};

}  // namespace parlivo::testing
