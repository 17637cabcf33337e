#pragma once
// The Qt backend of the file picker's seam (desktop/file_dialog_platform.h):
// the dialog object is a QFileDialog (Qt's own widget, not the desktop's
// native chooser, so that title, labels and filters behave the same
// everywhere), shell items are plain paths.
//
// What the picker's settings become:
//   title, file-name label, OK-button label   window title and label texts
//   file types, type index (1-based)          name filters, selected filter
//   default extension ("*.exe" or "exe")      default suffix "exe"
//   folder, places                            start directory, sidebar URLs
//   file must exist / multiple selection /    ExistingFile / ExistingFiles /
//   pick folders / neither                    Directory / AnyFile mode
//   force show hidden                         QDir::Hidden in the filter
//   no dereference links                      DontResolveSymlinks
// Files that do not match the selected filter are listed greyed out and
// cannot be clicked, which is as near as Qt comes to strict file types; a
// name typed in full is accepted whatever the filter (an existing file, in
// the must-exist modes). The client GUID has no counterpart and is ignored.
// Notifications reach the sink as: confirmed choice -> OnFileOk (which can
// keep the dialog open), directory entered -> OnFolderChange, current item
// changed -> OnSelectionChange, filter selected -> OnTypeChange. Qt offers
// no veto before a folder change and no share violations, so those two are
// never sent.
//
// Encoding: the seam's 8-bit texts are taken as UTF-8 here, the encoding of
// file names on this platform, and paths come back as UTF-8.
//
// Everything runs on the GUI thread; a QApplication must exist.

#include <QPointer>
#include <QString>
#include <QWidget>
#include <memory>
#include <string>

#include "desktop/file_dialog_platform.h"

namespace parlivo {

class QtFileDialogPlatform : public FileDialogPlatform {
 public:
  // `owner` is the window the dialog belongs to (normally the main window);
  // without one, or once it is gone, the application's active window.
  explicit QtFileDialogPlatform(QWidget* owner = nullptr) : owner_(owner) {}

  // Qt provides the dialog everywhere this backend builds, so it reports a
  // version that passes the picker's check.
  unsigned MajorVersion() const override { return 10; }
  std::unique_ptr<FileOpenDialogObject> CreateFileOpenDialog() override;
  // An existing file or folder; "." is the current directory. Nothing for a
  // path that does not exist.
  std::unique_ptr<ShellItem> CreateItemFromParsingName(const std::string& path) override;

 private:
  QPointer<QWidget> owner_;
};

// The Qt name filter for one file type: the display name followed by the
// mask's patterns in parentheses, space-separated. A display name that
// already ends with its patterns in parentheses (';'- or space-separated)
// is not given them twice: "Executables (*.exe)" with "*.exe" stays
// "Executables (*.exe)".
QString QtNameFilter(const FileDialogFilter& type);

}  // namespace parlivo
