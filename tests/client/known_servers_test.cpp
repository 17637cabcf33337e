// The clients' pin store on its own: the one form hosts are compared in,
// which pins a connection answers to, a store that cannot be read or a
// line that cannot be read, and how the file is written.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client/known_servers.h"

namespace parlivo {
namespace {

namespace fs = std::filesystem;

Endpoint At(const std::string& address, std::uint16_t port) {
  std::string error;
  const std::vector<Endpoint> found = ChatConnection::Resolve(address, port, error);
  EXPECT_FALSE(found.empty()) << error;
  return found.empty() ? Endpoint() : found.front();
}

std::string Slurp(const fs::path& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void Put(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

struct KnownServersFile : ::testing::Test {
  KnownServersFile() {
    char pattern[] = "/tmp/parlivo-pins-XXXXXX";
    folder = ::mkdtemp(pattern);
  }
  ~KnownServersFile() override {
    std::error_code ignored;
    fs::permissions(folder, fs::perms::owner_all, ignored);
    fs::remove_all(folder, ignored);
  }
  fs::path File() const { return folder / "known_servers"; }

  fs::path folder;
};

TEST(KnownServerKey, EveryWayOfWritingOneAddressGivesOneKey) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"127.0.0.1", "127.0.0.1:4001"},     {"127.1", "127.0.0.1:4001"},
      {"0x7f.0.0.1", "127.0.0.1:4001"},    {"2130706433", "127.0.0.1:4001"},
      {"::ffff:127.0.0.1", "127.0.0.1:4001"}, {"FD12:0:0::5", "[fd12::5]:4001"},
      {"Box.Local", "box.local:4001"},     {"LOCALHOST", "localhost:4001"},
  };
  for (const auto& [host, key] : cases) EXPECT_EQ(KnownServerKey(host, 4001), key) << host;
  EXPECT_EQ(KnownAddressKey(At("::ffff:127.0.0.1", 4001)), "127.0.0.1:4001");
  EXPECT_EQ(KnownAddressKey(At("fd12::5", 4001)), "[fd12::5]:4001");
  EXPECT_EQ(KnownServiceKey("Lab \"chat\" \\ 2"), "\"Lab \\\"chat\\\" \\\\ 2\"");
}

// Which pins stop a server that shows BB:02: every pin of the name the
// user chose, of the addresses it resolved to and of the address reached,
// whatever form the line was written in; and a line about any of them that
// cannot be read.
TEST_F(KnownServersFile, APinOfTheNameOrOfAnAddressItLeadsToRefusesAnotherKey) {
  struct Case {
    const char* name;
    std::string file;
    PinTarget target;
    const char* peer;   // the address the connection reached, port 4001
    const char* says;   // in the refusal; nullptr: the key passes
  };
  const std::string localhost = KnownServerKey("localhost", 4001);
  const std::vector<Case> cases = {
      {"an address pin protects a name that resolves to it", "127.0.0.1:4001 AA:01\n",
       {localhost, {"[::1]:4001", "127.0.0.1:4001"}}, "::1", "pinned for 127.0.0.1:4001 on line 1"},
      {"the address reached is checked too", "127.0.0.1:4001 AA:01\n", {"box:4001", {}}, "127.0.0.1",
       "it was AA:01 and is now BB:02"},
      {"a pinned name is not pinned again where it leads now", "\"Lab Chat\" AA:01\n",
       {KnownServiceKey("lab chat"), {"192.0.2.9:4001"}}, "192.0.2.9", "pinned for \"Lab Chat\""},
      {"a name found by announcement keeps its pin as a host", "lab:4001 AA:01\n",
       {KnownServiceKey("lab"), {"lab:4001"}}, "192.0.2.9", "pinned for lab:4001"},
      {"a line written as 127.1 still counts", "# mine\n127.1:4001 AA:01\n", {localhost, {"127.0.0.1:4001"}},
       "127.0.0.1", "on line 2"},
      {"a line written IPv4-mapped still counts", "[::FFFF:127.0.0.1]:4001 AA:01\n", {"box:4001", {}}, "127.0.0.1",
       "AA:01"},
      {"a name in capitals still counts", "LocalHost:4001 AA:01\n", {localhost, {}}, "192.0.2.9", "AA:01"},
      {"a line without its fingerprint refuses", "localhost:4001\n", {localhost, {}}, "127.0.0.1",
       "line 1 of"},
      {"a fingerprint that is none refuses", "127.0.0.1:4001 remove-me\n", {localhost, {}}, "127.0.0.1",
       "is not NAME FINGERPRINT"},
      {"a fingerprint that starts wrong refuses", "127.0.0.1:4001 G0:01\n", {localhost, {}}, "127.0.0.1",
       "is not NAME FINGERPRINT"},
      {"a line with more after the fingerprint refuses", "127.0.0.1:4001 BB:02 AA:01\n", {localhost, {}},
       "127.0.0.1", "about 127.0.0.1:4001"},
      {"a name without its closing quote refuses", "\"Lab chat\n", {KnownServiceKey("Lab chat"), {}}, "192.0.2.9",
       "line 1"},
      {"a name cut short after a backslash refuses", "\"Lab\\\n", {KnownServiceKey("Lab\\"), {}}, "192.0.2.9",
       "line 1"},
      {"the same key passes, in any case", "localhost:4001 bb:02\n127.0.0.1:4001 BB:02\n",
       {localhost, {"127.0.0.1:4001"}}, "127.0.0.1", nullptr},
      {"other servers' lines do not matter, read or not", "box:4001 AA:01\nbox:4002\n\"Lab\" AA:01\n",
       {localhost, {"127.0.0.1:4001"}}, "127.0.0.1", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put(File(), c.file);
    const KnownServers known(File().string());
    std::string why;
    const bool passed = known.Check(c.target)("BB:02", At(c.peer, 4001), why);
    EXPECT_EQ(passed, c.says == nullptr) << why;
    if (c.says == nullptr) continue;
    EXPECT_NE(why.find(c.says), std::string::npos) << why;
    EXPECT_NE(why.find(File().string()), std::string::npos) << why;  // which file to fix
    EXPECT_EQ(Slurp(File()), c.file);                                // a refusal writes nothing
  }
}

// A first key is remembered for the name and the address reached (not the
// name's other addresses), and every other line stays as it was, including
// those that cannot be read; the file is the user's alone, whatever umask.
TEST_F(KnownServersFile, AFirstKeyIsPinnedForTheNameAndTheAddressReachedKeepingEveryOtherLine) {
  const std::string before = "# my notes\nbox:4002\nother:1 CC:03\n";
  Put(File(), before);
  const KnownServers known(File().string());
  std::string noted;
  std::string why;
  const mode_t umask = ::umask(0);
  const bool passed = known.Check({"Localhost:4001", {"[::1]:4001", "127.0.0.1:4001"}},
                                  [&](const std::string& note) { noted = note; })("AA:01", At("127.0.0.1", 4001), why);
  ::umask(umask);
  ASSERT_TRUE(passed) << why;
  EXPECT_EQ(Slurp(File()), before + "Localhost:4001 AA:01\n127.0.0.1:4001 AA:01\n");
  EXPECT_NE(noted.find("remembered for Localhost:4001 and 127.0.0.1:4001"), std::string::npos) << noted;
  EXPECT_EQ(fs::status(File()).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  // A name new to a key its address has: remembered without a word.
  noted.clear();
  ASSERT_TRUE(known.Check({"chat.lan:4001", {}}, [&](const std::string& note) { noted = note; })(
      "AA:01", At("127.0.0.1", 4001), why));
  EXPECT_TRUE(noted.empty()) << noted;
  EXPECT_EQ(known.Pinned("chat.lan:4001"), "AA:01");
}

// A file that starts the store carries a comment saying what it holds, and
// the temporary file is a new one: a link planted under a name the
// temporary file might take is never written through.
TEST_F(KnownServersFile, ANewFileSaysWhatItHoldsAndAPlantedLinkIsNotFollowed) {
  const fs::path victim = folder / "victim";
  Put(victim, "precious\n");
  for (const char* planted : {"known_servers.new", "known_servers.tmp", "known_servers~"})
    fs::create_symlink(victim, folder / planted);
  const KnownServers known((folder / "sub" / "known_servers").string());
  std::string error;
  ASSERT_TRUE(known.Remember({"box:1"}, "AA:01", error)) << error;
  const KnownServers beside(File().string());
  ASSERT_TRUE(beside.Remember({"box:1"}, "AA:01", error)) << error;
  EXPECT_EQ(Slurp(victim), "precious\n");
  const std::string text = Slurp(File());
  EXPECT_EQ(text.rfind("# ", 0), 0u) << text;
  EXPECT_NE(text.find("\nbox:1 AA:01\n"), std::string::npos) << text;
  EXPECT_TRUE(fs::is_symlink(folder / "known_servers.new"));
}

// A store that cannot be read refuses every encrypted connection, saying
// which file and why, and is left as it is. These ways fail for root too.
TEST_F(KnownServersFile, AStoreThatCannotBeReadRefusesAndIsNeverRewritten) {
  struct Case {
    const char* name;
    std::function<fs::path()> make;  // returns the store's path
    const char* why;
  };
  const std::vector<Case> cases = {
      {"a folder in its place",
       [&] {
         fs::create_directory(File());
         return File();
       },
       "it is a folder"},
      {"a link that leads to itself",
       [&] {
         fs::create_symlink(File(), File());
         return File();
       },
       "Too many levels of symbolic links"},
      {"a file in place of its folder",
       [&] {
         Put(folder / "config", "");
         return folder / "config" / "known_servers";
       },
       "Not a directory"},
      {"an I/O error", [] { return fs::path("/proc/self/mem"); }, "Input/output error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(folder / "config");
    fs::remove_all(File());
    const fs::path path = c.make();
    const auto entries = std::distance(fs::directory_iterator(folder), fs::directory_iterator());
    const auto descriptors = std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    const KnownServers known(path.string());
    bool noted = false;
    std::string why;
    EXPECT_FALSE(known.Check({"box:4001", {}}, [&](const std::string&) { noted = true; })("AA:01",
                                                                                      At("127.0.0.1", 4001), why));
    EXPECT_FALSE(noted);
    EXPECT_NE(why.find(path.string() + " cannot be read (" + c.why), std::string::npos) << why;
    std::string error;
    EXPECT_FALSE(known.Remember({"box:4001"}, "AA:01", error));
    EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), entries) << "nothing written";
    EXPECT_EQ(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()), descriptors)
        << "no descriptor left open";
  }
}

}  // namespace
}  // namespace parlivo
