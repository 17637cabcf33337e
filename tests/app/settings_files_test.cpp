// The operator's settings file: integer conversion, INI reading and writing
// rules, and where the file lives.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/file_calls.h"
#include "app/ini_file.h"
#include "app/settings_location.h"
#include "app/str_to_int.h"
#include "transport/exception.h"

namespace parlivo {
namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

TEST(TryStrToInt, AcceptsSignedDecimalAndPrefixedHexWithinRange) {
  struct Case {
    std::string text;
    bool ok;
    std::int32_t value;
  };
  const std::vector<Case> cases = {
      {"0", true, 0},
      {"42", true, 42},
      {"+42", true, 42},
      {"-42", true, -42},
      {"000000000000000000042", true, 42},
      {"2147483647", true, kMax},
      {"-2147483648", true, kMin},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"99999999999999999999", false, 0},
      {"$1F", true, 31},
      {"$1f", true, 31},
      {"0x1F", true, 31},
      {"0X1f", true, 31},
      {"-$10", true, -16},
      {"+0x10", true, 16},
      {"$7FFFFFFF", true, kMax},
      {"$80000000", false, 0},
      {"-$80000000", true, kMin},
      {"0x100000000", false, 0},
      {" 42", true, 42},  // leading spaces are skipped
      {"   -7", true, -7},
      {"42 ", false, 0},  // but nothing may follow
      {"\t42", false, 0},
      {"4 2", false, 0},
      {"- 5", false, 0},
      {"", false, 0},
      {" ", false, 0},
      {"-", false, 0},
      {"$", false, 0},
      {"0x", false, 0},
      {"abc", false, 0},
      {"12a", false, 0},
      {"1.5", false, 0},
      {"--1", false, 0},
      {"$-1", false, 0},
      {"0x-1", false, 0},
      {"x10", false, 0},
      {"$1G", false, 0},
  };
  for (const Case& c : cases) {
    std::int32_t value = 123;
    EXPECT_EQ(TryStrToInt(c.text, value), c.ok) << '"' << c.text << '"';
    EXPECT_EQ(value, c.ok ? c.value : 123) << '"' << c.text << '"';  // untouched on failure
  }
}

class SettingsFiles : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

  std::string PathOf(const std::string& name) const { return dir_.path().toStdString() + "/" + name; }

  static void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  QTemporaryDir dir_;
};

TEST_F(SettingsFiles, ReadingRules) {
  const std::string path = PathOf("read.ini");
  WriteFile(path,
            "[frmServer]\r\n"
            "Hex=0x1A\r\n"
            "Dollar=$ff\r\n"
            "Neg = -5\r\n"
            "Garbage=12abc\r\n"
            "Two=2\r\n"
            "MinusOne=-1\r\n"
            "Zero=0\r\n"
            "Abc=abc\r\n"
            "Empty=\r\n"
            "Name=  Zo\xEB  \r\n"
            "Long=" + std::string(3000, 'a') + "\r\n");
  const IniFile ini(path);
  EXPECT_EQ(ini.FileName(), path);

  struct IntCase {
    const char* key;
    std::int32_t defaultValue;
    std::int32_t expected;
  };
  for (const IntCase& c : std::vector<IntCase>{{"Hex", 7, 26},
                                               {"Dollar", 7, 255},
                                               {"Neg", 7, -5},
                                               {"Garbage", 7, 7},
                                               {"Abc", 7, 7},
                                               {"Empty", 7, 7},
                                               {"Missing", 7, 7}}) {
    EXPECT_EQ(ini.ReadInteger("frmServer", c.key, c.defaultValue), c.expected) << c.key;
  }

  struct BoolCase {
    const char* key;
    bool defaultValue;
    bool expected;
  };
  for (const BoolCase& c : std::vector<BoolCase>{{"Two", false, true},
                                                 {"MinusOne", false, true},
                                                 {"Zero", true, false},
                                                 {"Abc", true, true},
                                                 {"Abc", false, false},
                                                 {"Missing", true, true}}) {
    EXPECT_EQ(ini.ReadBool("frmServer", c.key, c.defaultValue), c.expected) << c.key;
  }

  EXPECT_EQ(ini.ReadString("FRMSERVER", "hEX", "-"), "0x1A");
  EXPECT_EQ(ini.ReadString("frmServer", "Name", "-"), "Zo\xEB");  // bytes kept, blanks dropped
  EXPECT_EQ(ini.ReadString("frmServer", "Empty", "-"), "");
  EXPECT_EQ(ini.ReadString("frmServer", "Long", "-"), std::string(2047, 'a'));
  EXPECT_EQ(ini.ReadString("Other", "Hex", "-"), "-");

  const IniFile missing(PathOf("no-such.ini"));
  EXPECT_EQ(missing.ReadString("frmServer", "Hex", "-"), "-");
  EXPECT_EQ(missing.ReadInteger("frmServer", "Hex", 9), 9);
}

TEST_F(SettingsFiles, WritesRewriteTheFileKeepingOtherKeysAndTheirOrder) {
  const std::string path = PathOf("write.ini");
  WriteFile(path,
            "[frmServer]\r\n"
            "Port = 4000\r\n"
            "Unknown=keep me\r\n"
            "[Other]\r\n"
            "x=1\r\n");
  IniFile ini(path);

  ini.WriteInteger("FRMSERVER", "port", -65535);  // existing key: place and spelling kept
  EXPECT_EQ(FileText(path), "[frmServer]\nPort=-65535\nUnknown=keep me\n\n\n[Other]\nx=1\n");

  ini.WriteBool("frmServer", "Log", true);
  ini.WriteBool("frmServer", "Quiet", false);
  ini.WriteString("New", "Name", "Zo\xEB");
  EXPECT_EQ(FileText(path),
            "[frmServer]\nPort=-65535\nUnknown=keep me\nLog=1\nQuiet=0\n\n\n"
            "[Other]\nx=1\n\n\n"
            "[New]\nName=Zo\xEB\n");

  const IniFile reread(path);
  EXPECT_EQ(reread.ReadInteger("frmServer", "Port", 0), -65535);
  EXPECT_TRUE(reread.ReadBool("frmServer", "Log", false));
}

TEST_F(SettingsFiles, AFailedWriteRaisesAndIsTakenBack) {
  // Running as root, permissions would not stop the write; a folder in the
  // file's place does.
  const std::string path = PathOf("folder.ini");
  ASSERT_TRUE(std::filesystem::create_directory(path));
  IniFile ini(path);
  EXPECT_EQ(ini.ReadString("frmServer", "Port", "-"), "-");

  try {
    ini.WriteString("frmServer", "Port", "4000");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
  }
  EXPECT_EQ(ini.ReadString("frmServer", "Port", "-"), "-");
}

// A settings file whose sixteen keys K0 ... K15 all hold `value`.
std::string KeysText(const std::string& value) {
  std::string text = "[frmServer]\n";
  for (int k = 0; k < 16; ++k) text += "K" + std::to_string(k) + "=" + value + "\n";
  return text;
}

TEST_F(SettingsFiles, AWriteThatFailsAtAnyKeyLeavesTheKeysBeforeItOnDisk) {
  // A file-size limit refuses a write the way a full disk does. Each new
  // value is longer than the old one, so the limit lets exactly the first
  // `written` writes through.
  const std::string path = PathOf("limit.ini");
  struct rlimit unlimited {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  for (int written = 0; written < 16; ++written) {
    WriteFile(path, KeysText("0"));
    std::string expected = KeysText("0");
    for (int k = 0; k < written; ++k) expected.replace(expected.find("=0\n"), 3, "=123456\n");
    struct rlimit limit = unlimited;
    limit.rlim_cur = expected.size() + 2;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    IniFile ini(path);
    int k = 0;
    try {
      for (; k < 16; ++k) ini.WriteInteger("frmServer", "K" + std::to_string(k), 123456);
    } catch (const Exception&) {
    }
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    EXPECT_EQ(k, written);
    EXPECT_EQ(FileText(path), expected);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path().toStdString()), {}), 1);  // no leftovers
  }
  std::signal(SIGXFSZ, previousHandler);
}

// The system's file calls, each noted as "<call> <what>": "folder" for a
// descriptor opened on a folder, "file" for any other. One fsync can be
// made to fail the way a failing disk does.
struct WatchedFileCalls : FileCalls {
  std::vector<std::string> calls;
  int fsyncError = 0;
  std::map<int, std::string> opened;

  std::string What(int fd) { return opened[fd]; }
  int open(const char* path, int flags, mode_t mode) override {
    const int fd = SystemFileCalls().open(path, flags, mode);
    opened[fd] = (flags & O_DIRECTORY) != 0 ? "folder" : "file";
    calls.push_back("open " + What(fd));
    return fd;
  }
  ssize_t write(int fd, const void* data, std::size_t size) override {
    calls.push_back("write " + What(fd));
    return SystemFileCalls().write(fd, data, size);
  }
  int fsync(int fd) override {
    calls.push_back("fsync " + What(fd));
    if (fsyncError == 0) return SystemFileCalls().fsync(fd);
    errno = std::exchange(fsyncError, 0);
    return -1;
  }
  int close(int fd) override {
    calls.push_back("close " + What(fd));
    return SystemFileCalls().close(fd);
  }
  int rename(const char* from, const char* to) override {
    calls.push_back("rename");
    return SystemFileCalls().rename(from, to);
  }
};

TEST_F(SettingsFiles, TheNewFileIsOnTheDiskBeforeItReplacesTheOldOneAndAFailedSyncKeepsTheOld) {
  const std::string path = PathOf("synced.ini");
  WriteFile(path, "[frmServer]\nPort=4000\n");
  WatchedFileCalls calls;
  IniFile ini(path, calls);
  ini.WriteInteger("frmServer", "Port", 4001);
  // Renamed before its bytes reach the disk, a power cut could leave an
  // empty file in the old one's place; the folder's sync makes the rename last.
  EXPECT_EQ(calls.calls, (std::vector<std::string>{"open file", "write file", "fsync file", "close file", "rename",
                                                   "open folder", "fsync folder", "close folder"}));
  EXPECT_EQ(FileText(path), "[frmServer]\nPort=4001\n");
  // A first file is what the user's umask gives a document: never executable.
  const std::string first = PathOf("first.ini");
  IniFile(first).WriteInteger("frmServer", "Port", 4000);
  struct stat status {};
  ASSERT_EQ(::stat(first.c_str(), &status), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(status.st_mode & 0777, 0666 & ~mask);

  calls.fsyncError = EIO;
  EXPECT_THROW(ini.WriteInteger("frmServer", "Port", 4002), Exception);
  EXPECT_EQ(FileText(path), "[frmServer]\nPort=4001\n");
  // No leftovers: only the file and the first one.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path().toStdString()), {}), 2);
}

TEST_F(SettingsFiles, AWriterKilledInTheMiddleOfSavesNeverLeavesAPartialFile) {
  const std::string path = PathOf("killed.ini");
  WriteFile(path, KeysText("0"));
  for (int round = 0; round < 12; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      IniFile ini(path);
      for (int value = 1; value < 100000; ++value)
        for (int k = 0; k < 16; ++k) ini.WriteInteger("frmServer", "K" + std::to_string(k), value);
      ::_exit(0);
    }
    ::usleep(static_cast<useconds_t>(2000 + 3000 * round));  // a different moment of the saves each round
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    const std::string text = FileText(path);
    const IniFile ini(path);
    for (int k = 0; k < 16; ++k) ASSERT_GT(ini.ReadInteger("frmServer", "K" + std::to_string(k), -1), -1) << text;
    ASSERT_EQ(text.back(), '\n') << text;
  }
}

TEST(SettingsLocation, FilePathFromDataHomeProgramAndPort) {
  struct Case {
    const char* dataHome;
    const char* program;
    const char* port;
    const char* expected;
  };
  for (const Case& c : std::vector<Case>{
           {"/home/u/.local/share", "parlivo-server", "65535",
            "/home/u/.local/share/Mossfold/parlivo-server/parlivo-server_65535.ini"},
           {"/data", "server.exe", "4000", "/data/Mossfold/server/server_4000.ini"},
           {"/data/", "my.server.exe", "1", "/data/Mossfold/my.server/my.server_1.ini"},
           {"/data", ".hidden", "1", "/data/Mossfold/.hidden/.hidden_1.ini"},
           {"", "parlivo-server", "80", "/Mossfold/parlivo-server/parlivo-server_80.ini"},
       }) {
    EXPECT_EQ(SettingsFilePath(c.dataHome, c.program, c.port), c.expected) << c.program;
  }
}

TEST_F(SettingsFiles, CreateFoldersForMakesEveryMissingFolder) {
  const std::string deep = PathOf("a/b/c/settings.ini");
  EXPECT_TRUE(CreateFoldersFor(deep));
  EXPECT_TRUE(std::filesystem::is_directory(PathOf("a/b/c")));
  EXPECT_FALSE(std::filesystem::exists(deep));
  EXPECT_TRUE(CreateFoldersFor(deep));  // already there

  WriteFile(PathOf("plain"), "x");
  EXPECT_FALSE(CreateFoldersFor(PathOf("plain/sub/settings.ini")));
  EXPECT_FALSE(CreateFoldersFor(PathOf("plain/settings.ini")));
}

TEST(SettingsLocation, ProgramFileNameWithoutAnApplicationObject) {
  EXPECT_EQ(ProgramFileName(), "settings_files_test");
}

}  // namespace
}  // namespace parlivo
