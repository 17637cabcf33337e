#pragma once
// Where the server keeps the operator's options: one INI file per port,
//   <data home>/Mossfold/<program>/<program>_<port text>.ini
// where <program> is the running program's file name without its extension
// ("parlivo-server" stays "parlivo-server", "server.exe" becomes "server").
// Paths are 8-bit strings in the file system's encoding.

#include <string>

namespace parlivo {

// Pure string building. `programFileName` is a bare file name; its
// extension is the part from the last '.' on, unless that '.' is the first
// character (".hidden" has none). Trailing '/' on `dataHome` are dropped, so
// an empty (unknown) data home gives a path starting at "/Mossfold/...".
std::string SettingsFilePath(const std::string& dataHome, const std::string& programFileName,
                             const std::string& portText);

// Creates every missing folder on the way to `filePath` (not the file).
// False when that fails, e.g. because a path component is a regular file.
bool CreateFoldersFor(const std::string& filePath);

// The running program's file name without folders: from the application
// object when one exists, else from /proc/self/exe; empty if unknown.
std::string ProgramFileName();

// The user's writable data folder (XDG data home); empty if unknown.
std::string DataHome();

}  // namespace parlivo
