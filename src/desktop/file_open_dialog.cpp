#include "desktop/file_open_dialog.h"

#include <array>
#include <exception>
#include <utility>

namespace parlivo {
namespace {

// The dialog object exists from platform version 6 on.
constexpr unsigned kMinimumMajorVersion = 6;
constexpr std::string_view kPlatformVersionMessage = "%s requires Windows Vista or later";

namespace flags = file_dialog_flags;

// Indexed by TFileDialogOption.
constexpr std::array<std::uint32_t, kFileDialogOptionCount> kOptionFlags = {
    flags::kOverwritePrompt,     // fdoOverWritePrompt
    flags::kStrictFileTypes,     // fdoStrictFileTypes
    flags::kNoChangeDir,         // fdoNoChangeDir
    flags::kPickFolders,         // fdoPickFolders
    flags::kForceFileSystem,     // fdoForceFileSystem
    flags::kAllNonStorageItems,  // fdoAllNonStorageItems
    flags::kNoValidate,          // fdoNoValidate
    flags::kAllowMultiSelect,    // fdoAllowMultiSelect
    flags::kPathMustExist,       // fdoPathMustExist
    flags::kFileMustExist,       // fdoFileMustExist
    flags::kCreatePrompt,        // fdoCreatePrompt
    flags::kShareAware,          // fdoShareAware
    flags::kNoReadOnlyReturn,    // fdoNoReadOnlyReturn
    flags::kNoTestFileCreate,    // fdoNoTestFileCreate
    flags::kHideMruPlaces,       // fdoHideMRUPlaces
    flags::kHidePinnedPlaces,    // fdoHidePinnedPlaces
    flags::kNoDereferenceLinks,  // fdoNoDereferenceLinks
    flags::kDontAddToRecent,     // fdoDontAddToRecent
    flags::kForceShowHidden,     // fdoForceShowHidden
    flags::kDefaultNoMiniMode,   // fdoDefaultNoMiniMode
    flags::kForcePreviewPaneOn,  // fdoForcePreviewPaneOn
};

// The message with its placeholder filled in.
std::string PlatformVersionMessage(std::string_view className) {
  const std::size_t at = kPlatformVersionMessage.find("%s");
  std::string message(kPlatformVersionMessage.substr(0, at));
  message.append(className);
  message.append(kPlatformVersionMessage.substr(at + 2));
  return message;
}

// Reads `count` hex digits at `pos`; false when one is not a hex digit.
bool ReadHex(std::string_view text, std::size_t pos, std::size_t count, std::uint32_t& value) {
  value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    const char c = text[i];
    std::uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    value = value << 4 | digit;
  }
  return true;
}

// Runs `action` once when it goes out of scope, unless run earlier.
template <typename Action>
class Finally {
 public:
  explicit Finally(Action action) : action_(std::move(action)) {}
  ~Finally() { Run(); }
  Finally(const Finally&) = delete;
  Finally& operator=(const Finally&) = delete;
  void Run() {
    if (pending_) {
      pending_ = false;
      action_();
    }
  }

 private:
  Action action_;
  bool pending_ = true;
};

}  // namespace

std::uint32_t FileDialogOptionFlag(TFileDialogOption option) { return kOptionFlags.at(option); }

std::uint32_t FileDialogOptionFlags(const TFileDialogOptions& options) {
  std::uint32_t result = 0;
  for (int i = 0; i < kFileDialogOptionCount; ++i) {
    const auto option = static_cast<TFileDialogOption>(i);
    if (options.Contains(option)) result |= FileDialogOptionFlag(option);
  }
  return result;
}

std::optional<Guid> ParseGuid(std::string_view text) {
  // {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
  // 0         10   15   20   25          37
  if (text.size() != 38 || text[0] != '{' || text[37] != '}') return std::nullopt;
  if (text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') return std::nullopt;
  Guid guid;
  std::uint32_t value = 0;
  if (!ReadHex(text, 1, 8, value)) return std::nullopt;
  guid.Data1 = value;
  if (!ReadHex(text, 10, 4, value)) return std::nullopt;
  guid.Data2 = static_cast<std::uint16_t>(value);
  if (!ReadHex(text, 15, 4, value)) return std::nullopt;
  guid.Data3 = static_cast<std::uint16_t>(value);
  // Data4: two bytes before the last dash, six after it.
  constexpr std::array<std::size_t, 8> kData4At = {20, 22, 25, 27, 29, 31, 33, 35};
  for (std::size_t i = 0; i < kData4At.size(); ++i) {
    if (!ReadHex(text, kData4At[i], 2, value)) return std::nullopt;
    guid.Data4[i] = static_cast<std::uint8_t>(value);
  }
  return guid;
}

// Forwards the dialog's notifications to the component's events. Lives on
// ChooseFile's stack while the dialog is shown. Exceptions from handlers are
// caught here, because the caller is the platform's modal loop; the first
// one is raised again from ChooseFile.
class TCustomFileDialog::EventSink final : public FileDialogEvents {
 public:
  explicit EventSink(TCustomFileDialog& owner) : owner_(owner) {}

  std::exception_ptr TakeError() { return std::exchange(error_, nullptr); }

  DialogResult OnFileOk(FileOpenDialogObject&) override {
    if (!owner_.OnFileOkClick) return kDialogNotImplemented;
    return Guarded([&] {
      bool canClose = true;
      owner_.OnFileOkClick(&owner_, canClose);
      return canClose ? kDialogOk : kDialogFalse;
    });
  }

  DialogResult OnFolderChanging(FileOpenDialogObject&, const ShellItem&) override {
    if (!owner_.OnFolderChanging) return kDialogNotImplemented;
    return Guarded([&] {
      bool canChange = true;
      owner_.OnFolderChanging(&owner_, canChange);
      return canChange ? kDialogOk : kDialogFalse;
    });
  }

  DialogResult OnFolderChange(FileOpenDialogObject&) override { return Notify(owner_.OnFolderChange); }

  DialogResult OnSelectionChange(FileOpenDialogObject& dialog) override {
    FetchHandle(dialog);
    return Notify(owner_.OnSelectionChange);
  }

  DialogResult OnShareViolation(FileOpenDialogObject&, const ShellItem&,
                                FileDialogShareViolationAnswer& answer) override {
    if (!owner_.OnShareViolation) return kDialogNotImplemented;
    return Guarded([&] {
      TFileDialogShareViolationResponse response = fsrDefault;
      owner_.OnShareViolation(&owner_, response);
      switch (response) {
        case fsrAccept:
          answer = FileDialogShareViolationAnswer::Accept;
          break;
        case fsrRefuse:
          answer = FileDialogShareViolationAnswer::Refuse;
          break;
        default:
          answer = FileDialogShareViolationAnswer::Default;
          break;
      }
      return kDialogOk;
    });
  }

  DialogResult OnTypeChange(FileOpenDialogObject& dialog) override {
    FetchHandle(dialog);
    // The handler reads the new index.
    owner_.FileTypeIndex = dialog.GetFileTypeIndex();
    return Notify(owner_.OnTypeChange);
  }

 private:
  void FetchHandle(FileOpenDialogObject& dialog) {
    if (owner_.handle_ == 0) owner_.handle_ = dialog.WindowHandle();
  }

  DialogResult Notify(const TFileDialogNotifyEvent& event) {
    if (!event) return kDialogNotImplemented;
    return Guarded([&] {
      event(&owner_);
      return kDialogOk;
    });
  }

  template <typename Handler>
  DialogResult Guarded(Handler handler) {
    try {
      return handler();
    } catch (...) {
      if (!error_) error_ = std::current_exception();
      return kDialogFailed;
    }
  }

  TCustomFileDialog& owner_;
  std::exception_ptr error_;
};

TCustomFileDialog::TCustomFileDialog(FileDialogPlatform& platform) : platform_(platform) {}

TCustomFileDialog::~TCustomFileDialog() = default;

bool TCustomFileDialog::ChooseFile() {
  if (platform_.MajorVersion() < kMinimumMajorVersion) {
    throw EPlatformVersionException(PlatformVersionMessage(ClassName()));
  }
  if (dialog_ != nullptr) return false;
  files_.clear();

  std::unique_ptr<FileOpenDialogObject> dialog = CreateFileDialog();
  if (!dialog) return false;
  dialog_ = dialog.get();

  // Declared before the cleanup, so it is destroyed only after the cleanup
  // has unregistered it.
  EventSink sink(*this);
  std::optional<std::uint32_t> cookie;
  Finally cleanup([&] {
    if (cookie) dialog->Unadvise(*cookie);
    dialog_ = nullptr;
    handle_ = 0;
    dialog.reset();
  });

  ApplyProperties(*dialog);
  if (OnExecute) OnExecute(this);
  cookie = dialog->Advise(sink);
  const bool chosen = dialog->Show() && GetResults();

  cleanup.Run();
  if (std::exception_ptr error = sink.TakeError()) std::rethrow_exception(error);
  return chosen;
}

void TCustomFileDialog::ApplyProperties(FileOpenDialogObject& dialog) {
  if (!ClientGuid.empty()) {
    if (std::optional<Guid> guid = ParseGuid(ClientGuid)) dialog.SetClientGuid(*guid);
  }
  if (!DefaultExtension.empty()) dialog.SetDefaultExtension(DefaultExtension);
  if (!FileName.empty()) dialog.SetFileName(FileName);
  if (!FileNameLabel.empty()) dialog.SetFileNameLabel(FileNameLabel);
  if (!OkButtonLabel.empty()) dialog.SetOkButtonLabel(OkButtonLabel);
  if (!Title.empty()) dialog.SetTitle(Title);
  if (!DefaultFolder.empty()) {
    // A folder the shell cannot parse leaves the start folder to the dialog.
    if (std::unique_ptr<ShellItem> folder = platform_.CreateItemFromParsingName(DefaultFolder)) {
      dialog.SetFolder(*folder);
    }
  }

  if (!FileTypes.empty()) {
    std::vector<FileDialogFilter> types;
    types.reserve(FileTypes.size());
    for (const TFileTypeItem& item : FileTypes) types.push_back({item.DisplayName, item.FileMask});
    dialog.SetFileTypes(types);
    dialog.SetFileTypeIndex(FileTypeIndex);
  }

  dialog.SetOptions(FileDialogOptionFlags(Options));

  for (const TFavoriteLinkItem& link : FavoriteLinks) {
    if (std::unique_ptr<ShellItem> place = platform_.CreateItemFromParsingName(link.Location)) {
      dialog.AddPlace(*place, FileDialogPlacement::Bottom);
    }
  }
}

bool TCustomFileDialog::GetResults() {
  std::unique_ptr<ShellItem> item = dialog_->GetResult();
  if (!item) return false;
  std::optional<std::string> name = ResultName(*item);
  if (!name) return false;
  SetResults({std::move(*name)});
  return true;
}

void TCustomFileDialog::SetResults(std::vector<std::string> names) {
  files_ = std::move(names);
  if (!files_.empty()) FileName = files_.front();
}

std::optional<std::string> TCustomFileDialog::ResultName(const ShellItem& item) {
  if (std::optional<std::string> path = item.GetDisplayName(ShellItemName::FileSystemPath)) return path;
  return item.GetDisplayName(ShellItemName::NormalDisplay);
}

std::unique_ptr<FileOpenDialogObject> TCustomFileOpenDialog::CreateFileDialog() {
  return Platform().CreateFileOpenDialog();
}

bool TCustomFileOpenDialog::GetResults() {
  if (!Options.Contains(fdoAllowMultiSelect)) return TCustomFileDialog::GetResults();
  std::vector<std::unique_ptr<ShellItem>> items = Dialog()->GetResults();
  if (items.empty()) return false;
  std::vector<std::string> names;
  names.reserve(items.size());
  for (const std::unique_ptr<ShellItem>& item : items) {
    if (!item) return false;
    std::optional<std::string> name = ResultName(*item);
    if (!name) return false;
    names.push_back(std::move(*name));
  }
  SetResults(std::move(names));
  return true;
}

}  // namespace parlivo
