#pragma once
// The platform seam beneath the file picker (file_open_dialog.h).
//
// The picker was designed around the shell's item-based file-open dialog: a
// platform object that is created per use, configured through a handful of
// setters, shown modally, asked for the chosen item and released. This
// header keeps that shape so the picker's behaviour does not depend on a
// window system:
//   FileDialogPlatform    reports the platform's major version, creates the
//                         dialog object and turns a path into a shell item;
//   FileOpenDialogObject  the dialog object with the operations the picker
//                         calls, in the platform's own vocabulary;
//   ShellItem             a file or folder as the shell names it;
//   FileDialogEvents      the sink through which the dialog reports what the
//                         user does while it is shown.
// The Qt backend lives in qt/qt_file_dialog.h; tests use a scripted fake.
//
// Texts are 8-bit strings (std::string) on both sides of the seam; a backend
// converts them to whatever its toolkit wants.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace parlivo {

// The dialog's option flags. These are the platform's own values; the picker
// passes the OR of the flags of its options, replacing the dialog's defaults.
namespace file_dialog_flags {
inline constexpr std::uint32_t kOverwritePrompt = 0x2;
inline constexpr std::uint32_t kStrictFileTypes = 0x4;
inline constexpr std::uint32_t kNoChangeDir = 0x8;
inline constexpr std::uint32_t kPickFolders = 0x20;
inline constexpr std::uint32_t kForceFileSystem = 0x40;
inline constexpr std::uint32_t kAllNonStorageItems = 0x80;
inline constexpr std::uint32_t kNoValidate = 0x100;
inline constexpr std::uint32_t kAllowMultiSelect = 0x200;
inline constexpr std::uint32_t kPathMustExist = 0x800;
inline constexpr std::uint32_t kFileMustExist = 0x1000;
inline constexpr std::uint32_t kCreatePrompt = 0x2000;
inline constexpr std::uint32_t kShareAware = 0x4000;
inline constexpr std::uint32_t kNoReadOnlyReturn = 0x8000;
inline constexpr std::uint32_t kNoTestFileCreate = 0x10000;
inline constexpr std::uint32_t kHideMruPlaces = 0x20000;
inline constexpr std::uint32_t kHidePinnedPlaces = 0x40000;
inline constexpr std::uint32_t kNoDereferenceLinks = 0x100000;
inline constexpr std::uint32_t kDontAddToRecent = 0x2000000;
inline constexpr std::uint32_t kForceShowHidden = 0x10000000;
inline constexpr std::uint32_t kDefaultNoMiniMode = 0x20000000;
inline constexpr std::uint32_t kForcePreviewPaneOn = 0x40000000;
}  // namespace file_dialog_flags

// Answers of the event sink, in the platform's result-code values.
using DialogResult = std::int32_t;
inline constexpr DialogResult kDialogOk = 0;     // handled; go on
inline constexpr DialogResult kDialogFalse = 1;  // handled; refuse (do not close, do not change folder)
inline constexpr DialogResult kDialogNotImplemented = static_cast<DialogResult>(0x80004001u);  // platform default
inline constexpr DialogResult kDialogFailed = static_cast<DialogResult>(0x80004005u);          // the handler failed

// A GUID in the platform's binary layout.
struct Guid {
  std::uint32_t Data1 = 0;
  std::uint16_t Data2 = 0;
  std::uint16_t Data3 = 0;
  std::array<std::uint8_t, 8> Data4{};
  friend bool operator==(const Guid&, const Guid&) = default;
};

// One entry of the dialog's file-type list.
struct FileDialogFilter {
  std::string DisplayName;  // what the user reads, e.g. "Executables (*.exe)"
  std::string FileMask;     // the patterns, ';'-separated, e.g. "*.exe"
  friend bool operator==(const FileDialogFilter&, const FileDialogFilter&) = default;
};

// Where AddPlace puts a place in the dialog's list of places.
enum class FileDialogPlacement : std::uint8_t { Bottom = 0, Top = 1 };

// The answer to a share violation, in the platform's order.
enum class FileDialogShareViolationAnswer : std::uint8_t { Default = 0, Accept = 1, Refuse = 2 };

// The two names of a shell item the picker asks for.
enum class ShellItemName : std::uint8_t {
  FileSystemPath,  // the full path; items outside the file system have none
  NormalDisplay,   // the name the shell shows for the item
};

// A file or folder as the shell knows it.
class ShellItem {
 public:
  virtual ~ShellItem() = default;
  // The requested name, or nothing when the item has no such name.
  virtual std::optional<std::string> GetDisplayName(ShellItemName kind) const = 0;
};

class FileOpenDialogObject;

// The event sink: the dialog calls it while it is shown. Every answer is a
// DialogResult; kDialogNotImplemented leaves the platform's own behaviour.
class FileDialogEvents {
 public:
  virtual ~FileDialogEvents() = default;
  // The user confirmed a choice; kDialogFalse keeps the dialog open.
  virtual DialogResult OnFileOk(FileOpenDialogObject& dialog) = 0;
  // The dialog is about to enter `folder`; kDialogFalse keeps it where it is.
  virtual DialogResult OnFolderChanging(FileOpenDialogObject& dialog, const ShellItem& folder) = 0;
  virtual DialogResult OnFolderChange(FileOpenDialogObject& dialog) = 0;
  virtual DialogResult OnSelectionChange(FileOpenDialogObject& dialog) = 0;
  // `answer` is read only when the sink returns kDialogOk.
  virtual DialogResult OnShareViolation(FileOpenDialogObject& dialog, const ShellItem& item,
                                        FileDialogShareViolationAnswer& answer) = 0;
  virtual DialogResult OnTypeChange(FileOpenDialogObject& dialog) = 0;
};

// The platform's file-open dialog object. Created per use by
// FileDialogPlatform::CreateFileOpenDialog and released by destroying it.
// Setters take effect when the dialog is shown.
class FileOpenDialogObject {
 public:
  virtual ~FileOpenDialogObject() = default;

  virtual void SetClientGuid(const Guid& guid) = 0;
  virtual void SetDefaultExtension(const std::string& extension) = 0;
  virtual void SetFileName(const std::string& name) = 0;
  virtual void SetFileNameLabel(const std::string& label) = 0;
  virtual void SetOkButtonLabel(const std::string& label) = 0;
  virtual void SetTitle(const std::string& title) = 0;
  virtual void SetFolder(const ShellItem& folder) = 0;
  virtual void SetFileTypes(const std::vector<FileDialogFilter>& types) = 0;
  // 1-based, as the platform counts file types.
  virtual void SetFileTypeIndex(std::uint32_t index) = 0;
  virtual std::uint32_t GetFileTypeIndex() const = 0;
  virtual void SetOptions(std::uint32_t flags) = 0;
  virtual void AddPlace(const ShellItem& place, FileDialogPlacement where) = 0;

  // Registers a sink until Unadvise with the returned cookie; nothing when
  // the dialog refuses. The sink must outlive its registration.
  virtual std::optional<std::uint32_t> Advise(FileDialogEvents& sink) = 0;
  virtual void Unadvise(std::uint32_t cookie) = 0;

  // Shows the dialog modally and returns when it is closed: true when the
  // user confirmed a choice, false when cancelled or when the dialog failed.
  // While it runs, the backend keeps the application's other windows
  // disabled; afterwards it gives activation and the keyboard focus back to
  // the window that had them. Runs a nested event loop: the sink's calls, and
  // anything else queued on the event thread, happen inside it.
  virtual bool Show() = 0;

  // The chosen item after a successful Show; nothing when it cannot be read.
  virtual std::unique_ptr<ShellItem> GetResult() = 0;
  // Every chosen item, for multiple selection; empty when they cannot be read.
  virtual std::vector<std::unique_ptr<ShellItem>> GetResults() = 0;

  // An opaque handle of the dialog's window while it is shown (0 when none).
  virtual std::uintptr_t WindowHandle() const = 0;
};

// The platform itself. Passed to the picker by reference; it must outlive
// every picker that uses it.
class FileDialogPlatform {
 public:
  virtual ~FileDialogPlatform() = default;
  // The major version of the operating system; the dialog needs 6 or later.
  virtual unsigned MajorVersion() const = 0;
  // A new dialog object, or nullptr when it cannot be created.
  virtual std::unique_ptr<FileOpenDialogObject> CreateFileOpenDialog() = 0;
  // The shell item a path names, or nullptr when the shell cannot parse it.
  virtual std::unique_ptr<ShellItem> CreateItemFromParsingName(const std::string& path) = 0;
};

}  // namespace parlivo
