#include "desktop/client_executable_picker.h"

namespace parlivo {

void ConfigureClientExecutablePicker(TFileOpenDialog& picker) {
  picker.ClientGuid.clear();
  picker.DefaultExtension = "*.exe";  // passed as stored, pattern and all
  picker.DefaultFolder = ".";
  picker.FavoriteLinks.clear();
  picker.FileName.clear();
  picker.FileNameLabel = "Select PLV.exe";
  picker.FileTypes = {{"Executables (*.exe)", "*.exe"}};
  picker.FileTypeIndex = 0;
  picker.OkButtonLabel.clear();
  picker.Options = {fdoStrictFileTypes, fdoPathMustExist, fdoFileMustExist, fdoForceShowHidden};
  picker.Title = "Parlivo Server PLV.exe path";
}

}  // namespace parlivo
