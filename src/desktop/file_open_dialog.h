#pragma once
// TFileOpenDialog: a non-visual component that lets the user pick a file
// through the platform's item-based file-open dialog (file_dialog_platform.h).
//
// The behaviour lives in TCustomFileDialog (configuration, ChooseFile, the
// event sink) and TCustomFileOpenDialog (creates the open dialog, collects
// one or several chosen items); TFileOpenDialog is the published face the
// main window owns. The component borrows the platform, which must outlive
// it, and owns the platform dialog object only while ChooseFile runs.
//
// ChooseFile, in order:
//   1. platform major version below 6: raise EPlatformVersionException
//      ("%s requires Windows Vista or later", %s = ClassName()); nothing is
//      created or shown;
//   2. create the dialog object; false when that fails;
//   3. apply every property that is not empty (ClientGuid, DefaultExtension,
//      FileName, FileNameLabel, OkButtonLabel, Title, DefaultFolder); a
//      default folder the shell cannot parse is skipped and the dialog picks
//      its start folder itself;
//   4. FileTypes in collection order, then FileTypeIndex, when there are any;
//   5. the flags of Options, replacing the dialog's defaults;
//   6. every favourite link the shell can parse, at the bottom of the places;
//   7. OnExecute;
//   8. register the event sink;
//   9. show the dialog and collect the result: the chosen item's file-system
//      path, or its display name when it has none, becomes FileName and the
//      only entry of Files(); true only when both succeeded;
//  10. always: unregister the sink and release the dialog object.
//
// Events: the sink forwards the dialog's notifications to the On* events
// and answers "not implemented" where no handler is assigned, so the
// platform's own behaviour applies. A handler runs inside the dialog's modal
// loop; an exception it raises is held (the dialog gets a failure answer)
// and raised again from ChooseFile after step 10, so it never crosses the
// event loop.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/file_dialog_platform.h"

namespace parlivo {

// Raised by ChooseFile on a platform too old for the dialog.
class EPlatformVersionException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One option of the dialog; each stands for one platform flag
// (FileDialogOptionFlag).
enum TFileDialogOption : std::uint8_t {
  fdoOverWritePrompt,
  fdoStrictFileTypes,
  fdoNoChangeDir,
  fdoPickFolders,
  fdoForceFileSystem,
  fdoAllNonStorageItems,
  fdoNoValidate,
  fdoAllowMultiSelect,
  fdoPathMustExist,
  fdoFileMustExist,
  fdoCreatePrompt,
  fdoShareAware,
  fdoNoReadOnlyReturn,
  fdoNoTestFileCreate,
  fdoHideMRUPlaces,
  fdoHidePinnedPlaces,
  fdoNoDereferenceLinks,
  fdoDontAddToRecent,
  fdoForceShowHidden,
  fdoDefaultNoMiniMode,
  fdoForcePreviewPaneOn,
};
inline constexpr int kFileDialogOptionCount = fdoForcePreviewPaneOn + 1;

// A set of TFileDialogOption.
class TFileDialogOptions {
 public:
  constexpr TFileDialogOptions() = default;
  constexpr TFileDialogOptions(std::initializer_list<TFileDialogOption> options) {
    for (TFileDialogOption option : options) Include(option);
  }
  constexpr void Include(TFileDialogOption option) { bits_ |= Bit(option); }
  constexpr void Exclude(TFileDialogOption option) { bits_ &= ~Bit(option); }
  constexpr bool Contains(TFileDialogOption option) const { return (bits_ & Bit(option)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  friend constexpr bool operator==(const TFileDialogOptions&, const TFileDialogOptions&) = default;

 private:
  static constexpr std::uint32_t Bit(TFileDialogOption option) { return std::uint32_t{1} << option; }
  std::uint32_t bits_ = 0;
};

// The platform flag of one option, and the OR of the flags of a set.
std::uint32_t FileDialogOptionFlag(TFileDialogOption option);
std::uint32_t FileDialogOptionFlags(const TFileDialogOptions& options);

// A GUID in text form, "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (hex digits
// in either case, braces required); nothing for any other text.
std::optional<Guid> ParseGuid(std::string_view text);

struct TFileTypeItem {
  std::string DisplayName;
  std::string FileMask;
};
using TFileTypeItems = std::vector<TFileTypeItem>;

struct TFavoriteLinkItem {
  std::string Location;  // a path
};
using TFavoriteLinkItems = std::vector<TFavoriteLinkItem>;

enum TFileDialogShareViolationResponse : std::uint8_t { fsrDefault, fsrAccept, fsrRefuse };

class TCustomFileDialog;

// Events. "var" parameters are references set to their default before the
// call (CanClose and CanChange true, Response fsrDefault) and read after it.
using TFileDialogNotifyEvent = std::function<void(TCustomFileDialog* Sender)>;
using TFileDialogCloseEvent = std::function<void(TCustomFileDialog* Sender, bool& CanClose)>;
using TFileDialogFolderChangingEvent = std::function<void(TCustomFileDialog* Sender, bool& CanChange)>;
using TFileDialogShareViolationEvent =
    std::function<void(TCustomFileDialog* Sender, TFileDialogShareViolationResponse& Response)>;

class TCustomFileDialog {
 public:
  explicit TCustomFileDialog(FileDialogPlatform& platform);
  virtual ~TCustomFileDialog();
  TCustomFileDialog(const TCustomFileDialog&) = delete;
  TCustomFileDialog& operator=(const TCustomFileDialog&) = delete;

  // The class name, as it appears in EPlatformVersionException.
  virtual const char* ClassName() const { return "TCustomFileDialog"; }

  // --- Properties, read when ChooseFile runs. Empty texts are not passed.
  std::string ClientGuid;  // a GUID in text form; text that is not one is skipped
  std::string DefaultExtension;
  std::string DefaultFolder;
  TFavoriteLinkItems FavoriteLinks;
  std::string FileName;  // the initial name; after a true ChooseFile, the chosen file
  std::string FileNameLabel;
  TFileTypeItems FileTypes;
  std::uint32_t FileTypeIndex = 1;  // passed only with FileTypes; updated on a type change
  std::string OkButtonLabel;
  TFileDialogOptions Options;
  std::string Title;

  // --- Events; each is skipped when empty.
  TFileDialogNotifyEvent OnExecute;
  TFileDialogCloseEvent OnFileOkClick;
  TFileDialogNotifyEvent OnFolderChange;
  TFileDialogFolderChangingEvent OnFolderChanging;
  TFileDialogNotifyEvent OnSelectionChange;
  TFileDialogShareViolationEvent OnShareViolation;
  TFileDialogNotifyEvent OnTypeChange;

  // Shows the dialog and returns true when the user chose a file; see the
  // top of this header. Runs the dialog's modal loop, so anything queued on
  // the event thread may run before it returns. Raises
  // EPlatformVersionException on a platform below version 6, and whatever
  // an event handler raised. A call while the dialog is already shown (from
  // one of its own handlers) returns false at once.
  bool ChooseFile();

  // The chosen names of the last ChooseFile (one entry for a single choice;
  // empty after a false one).
  const std::vector<std::string>& Files() const { return files_; }
  // The dialog's window handle, fetched with the first selection or type
  // change while the dialog is shown; 0 otherwise.
  std::uintptr_t Handle() const { return handle_; }
  // The platform dialog object while ChooseFile runs, otherwise nullptr.
  FileOpenDialogObject* Dialog() const { return dialog_; }

 protected:
  FileDialogPlatform& Platform() const { return platform_; }
  // Creates the platform dialog object; nullptr when that fails.
  virtual std::unique_ptr<FileOpenDialogObject> CreateFileDialog() = 0;
  // Reads the chosen item(s) from Dialog() into FileName and Files();
  // false when nothing can be read.
  virtual bool GetResults();
  // Stores `names` as the result: the first becomes FileName.
  void SetResults(std::vector<std::string> names);
  // The name the result is reported under: the file-system path, else the
  // display name.
  static std::optional<std::string> ResultName(const ShellItem& item);

 private:
  class EventSink;
  friend class EventSink;

  void ApplyProperties(FileOpenDialogObject& dialog);
  void Release();

  FileDialogPlatform& platform_;
  FileOpenDialogObject* dialog_ = nullptr;
  std::uintptr_t handle_ = 0;
  std::vector<std::string> files_;
};

class TCustomFileOpenDialog : public TCustomFileDialog {
 public:
  using TCustomFileDialog::TCustomFileDialog;
  const char* ClassName() const override { return "TCustomFileOpenDialog"; }

 protected:
  std::unique_ptr<FileOpenDialogObject> CreateFileDialog() override;
  // With fdoAllowMultiSelect every chosen item is read; otherwise the one.
  bool GetResults() override;
};

// The published face: what the main window owns.
class TFileOpenDialog : public TCustomFileOpenDialog {
 public:
  using TCustomFileOpenDialog::TCustomFileOpenDialog;
  const char* ClassName() const override { return "TFileOpenDialog"; }
};

}  // namespace parlivo
