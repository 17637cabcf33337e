#include "app/ini_file.h"

#include <cstdio>
#include <optional>
#include <utility>

#include "app/str_to_int.h"
#include "transport/exception.h"

// Only the byte-string flavour is used, so the wide-character conversion
// support (and the extra source file it needs) stays out. The Debian header
// compiles its template bodies only on request; asking for them here keeps
// the program off the prebuilt library and its ICU dependency.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

namespace parlivo {
namespace {

constexpr std::size_t kMaxValueLength = 2047;

// The whole file, or nullopt when it cannot be read (missing, a folder, no
// permission, a read error).
std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::string content;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return std::nullopt;
  return content;
}

bool WriteWholeFile(const std::string& path, const std::string& content) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  ok = std::fflush(file) == 0 && ok;
  ok = std::fclose(file) == 0 && ok;
  return ok;
}

}  // namespace

// CSimpleIniA compares section and key names without regard to ASCII case
// (CSimpleIniCaseA is the case-sensitive one) and saves in load order.
struct IniFile::Data {
  CSimpleIniA ini;
};

IniFile::IniFile(std::string fileName) : fileName_(std::move(fileName)), data_(std::make_unique<Data>()) {
  data_->ini.SetSpaces(false);
  // Bytes are taken as they are, so loading can only fail for lack of
  // memory; the file then reads as far as it got.
  if (const auto content = ReadWholeFile(fileName_)) data_->ini.LoadData(*content);
}

IniFile::~IniFile() = default;

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& defaultValue) const {
  const char* value = data_->ini.GetValue(section.c_str(), key.c_str(), nullptr);
  if (value == nullptr) return defaultValue;
  std::string text(value);
  if (text.size() > kMaxValueLength) text.resize(kMaxValueLength);
  return text;
}

std::int32_t IniFile::ReadInteger(const std::string& section, const std::string& key,
                                  std::int32_t defaultValue) const {
  std::int32_t value = defaultValue;
  TryStrToInt(ReadString(section, key, std::string()), value);
  return value;
}

bool IniFile::ReadBool(const std::string& section, const std::string& key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void IniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  CSimpleIniA& ini = data_->ini;
  // Remembered so that a failed write can be taken back and reads keep
  // matching the file on disk.
  const bool hadSection = ini.GetSectionSize(section.c_str()) >= 0;
  std::optional<std::string> previous;
  if (const char* old = ini.GetValue(section.c_str(), key.c_str(), nullptr)) previous = old;

  std::string content;
  const bool ok = ini.SetValue(section.c_str(), key.c_str(), value.c_str()) >= 0 &&
                  ini.Save(content) >= 0 && WriteWholeFile(fileName_, content);
  if (ok) return;

  if (previous) {
    ini.SetValue(section.c_str(), key.c_str(), previous->c_str());
  } else {
    ini.Delete(section.c_str(), key.c_str(), !hadSection);
  }
  throw Exception("Unable to write to " + fileName_);
}

void IniFile::WriteInteger(const std::string& section, const std::string& key, std::int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

}  // namespace parlivo
