#include "app/settings_location.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace parlivo {

std::string SettingsFilePath(const std::string& dataHome, const std::string& programFileName,
                             const std::string& portText) {
  std::string home = dataHome;
  while (!home.empty() && home.back() == '/') home.pop_back();

  std::string program = programFileName;
  const std::size_t dot = program.rfind('.');
  if (dot != std::string::npos && dot > 0) program.resize(dot);

  return home + "/Mossfold/" + program + "/" + program + "_" + portText + ".ini";
}

bool CreateFoldersFor(const std::string& filePath) {
  const std::filesystem::path folder = std::filesystem::path(filePath).parent_path();
  if (folder.empty()) return true;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  // Some library versions report no error when the last component already
  // exists as a file, so check that a folder is there in the end.
  return !error && std::filesystem::is_directory(folder, error);
}

std::string ProgramFileName() {
  if (QCoreApplication::instance() != nullptr) {
    const QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (!name.isEmpty()) return QFile::encodeName(name).toStdString();
  }
  std::error_code error;
  std::string name = std::filesystem::read_symlink("/proc/self/exe", error).filename().string();
  if (error) return std::string();
  // The link reads "<path> (deleted)" once the program file was replaced,
  // as happens when it is rebuilt while running.
  constexpr std::string_view kDeleted = " (deleted)";
  if (name.size() > kDeleted.size() && name.ends_with(kDeleted)) name.resize(name.size() - kDeleted.size());
  return name;
}

std::string DataHome() {
  return QFile::encodeName(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
      .toStdString();
}

}  // namespace parlivo
