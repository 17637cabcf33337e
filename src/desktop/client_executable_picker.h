#pragma once
// The main window's file picker for the chat client's executable: the
// configuration it is stored with, in one place so that the window and the
// tests use the same values.

#include "desktop/file_open_dialog.h"

namespace parlivo {

// Sets every property of `picker` to the main window's configuration:
// title "Parlivo Server PLV.exe path", file-name label "Select PLV.exe", the
// file types "Executables (*.exe)" / "*.exe" (selected, type index 0) and
// "All files (*)" / "*", default folder ".", the options strict file types,
// path must exist, file must exist and force show hidden (flags
// 0x10001804); default extension, client GUID, file name, OK-button label
// and favourite links empty, so a typed name is taken exactly as typed.
// Events are left as they are (the window assigns none).
void ConfigureClientExecutablePicker(TFileOpenDialog& picker);

}  // namespace parlivo
