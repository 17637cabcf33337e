#include "app/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// Writes all of `data` to `fd`, going on after short writes and signals.
bool WriteAll(FileCalls& calls, int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = calls.write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Creates a new, empty file beside `path` that no other writer uses, and
// returns its descriptor (-1 on failure) and name. A name left behind by a
// writer that was killed is skipped over, not reused.
int CreateSibling(FileCalls& calls, const std::string& path, std::string& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = path + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp";
    const int fd = calls.open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Makes a finished rename survive a power cut; a failure here loses no data
// that a crash of the program could lose, so it is not reported.
void SyncFolderOf(FileCalls& calls, const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = calls.open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return;
  calls.fsync(fd);
  calls.close(fd);
}

// Replaces the file at `path` by one holding `content`, so that whenever the
// program is killed or the disk fills up, `path` holds either the old
// complete file or the new complete one, never a part: the bytes go to a new
// file in the same folder, are synced to the disk, and that file is renamed
// over the old one. The old file's permissions carry over. False when any
// step fails; the new file is then removed and the old one is untouched.
bool ReplaceWholeFile(FileCalls& calls, const std::string& path, const std::string& content) {
  std::string temporary;
  const int fd = CreateSibling(calls, path, temporary);
  if (fd < 0) return false;
  struct stat old {};
  bool ok = ::stat(path.c_str(), &old) != 0 || ::fchmod(fd, old.st_mode & 07777) == 0;
  ok = ok && WriteAll(calls, fd, content) && calls.fsync(fd) == 0;
  ok = calls.close(fd) == 0 && ok;
  ok = ok && calls.rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  SyncFolderOf(calls, path);
  return true;
}

}  // namespace

// CSimpleIniA compares section and key names without regard to ASCII case
// (CSimpleIniCaseA is the case-sensitive one) and saves in load order.
struct IniFile::Data {
  CSimpleIniA ini;
};

IniFile::IniFile(std::string fileName, FileCalls& calls)
    : fileName_(std::move(fileName)), calls_(&calls), data_(std::make_unique<Data>()) {
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
                  ini.Save(content) >= 0 && ReplaceWholeFile(*calls_, fileName_, content);
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
