#pragma once
// One settings file in INI form ("[section]" lines and "key=value" lines),
// read and written key by key the way Windows programs traditionally keep
// their options. Texts are 8-bit byte strings (Windows-1252) and pass
// through unchanged.
//
// Reading:
// - The file is read once, when the object is made. A missing or unreadable
//   file (or a path that names a folder) reads as empty; that is not an error.
// - Section and key names match without regard to ASCII letter case.
// - A missing section or key yields the caller's default. A key written as
//   "key=" reads as the empty text, not the default.
// - Blanks around a value are not part of it. A value longer than 2047
//   bytes is cut to its first 2047 bytes.
// - ReadInteger accepts what TryStrToInt (str_to_int.h) accepts; anything
//   else yields the default. ReadBool is true for any integer other than 0
//   and yields the default for anything that is not an integer.
// - Lines starting with ';' or '#' are comments.
//
// Writing:
// - Every write replaces the whole file at once, atomically: whenever the
//   program is killed or the disk fills up, the file is either as it was
//   before the write or as it is after it, never cut short. A file that is
//   a symbolic link is replaced by a regular file.
// - Other sections, keys (also ones this program does not know) and
//   comments are kept in their order; an existing key keeps its place and
//   the spelling of its name, a new key goes to the end of its section and a
//   new section to the end of the file.
// - The file is written as "key=value" lines without blanks around '=' and
//   with "\n" line ends; two empty lines separate sections, and a comment
//   above a key gets one empty line before it. Other layout of a hand-edited
//   file (empty lines, blanks around '=', "\r\n") is normalised to that.
// - Integers are written in decimal, booleans as "1" and "0".
// - A write that fails raises parlivo::Exception "Unable to write to <path>"
//   and leaves what this object reads as it was. Folders are not created
//   here (see settings_location.h).
// - Values should be single-line without surrounding blanks: such blanks do
//   not survive a read, and a line break would split the line.
// - Changes other programs make to the file after this object was made are
//   lost at its next write.
// - The calls that write the file go through a FileCalls (file_calls.h), the
//   system's unless a test passes its own.

#include <cstdint>
#include <memory>
#include <string>

#include "app/file_calls.h"

namespace parlivo {

class IniFile {
 public:
  // `fileName` is the full path of the file, used as given.
  explicit IniFile(std::string fileName, FileCalls& calls = SystemFileCalls());
  ~IniFile();
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;

  const std::string& FileName() const { return fileName_; }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;
  std::int32_t ReadInteger(const std::string& section, const std::string& key,
                           std::int32_t defaultValue) const;
  bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;

  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, std::int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);

 private:
  struct Data;
  std::string fileName_;
  FileCalls* calls_;
  std::unique_ptr<Data> data_;
};

}  // namespace parlivo
