#include "desktop/client_executable_picker.h"

namespace parlivo {

void ConfigureClientExecutablePicker(TFileOpenDialog& picker) {
  picker.ClientGuid.clear();
  // No default extension: programs on this platform have none, and a
  // suffix appended to a typed name would turn an existing program into a
  // file that does not exist.
  picker.DefaultExtension.clear();
  picker.DefaultFolder = ".";
  picker.FavoriteLinks.clear();
  picker.FileName.clear();
  picker.FileNameLabel = "Select PLV.exe";
  // The client's own file type comes first and is selected; the second
  // type lists every file, so a program without an extension can be seen.
  picker.FileTypes = {{"Executables (*.exe)", "*.exe"}, {"All files (*)", "*"}};
  picker.FileTypeIndex = 0;
  picker.OkButtonLabel.clear();
  picker.Options = {fdoStrictFileTypes, fdoPathMustExist, fdoFileMustExist, fdoForceShowHidden};
  picker.Title = "Parlivo Server PLV.exe path";
}

}  // namespace parlivo
