// The headless server's log on an output nobody reads: the server goes on,
// the backlog stays bounded, and the reader learns how much it missed.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <thread>

#include "app/headless_front.h"
#include "app/nonblocking_output.h"
#include "app/pending_log.h"
#include "form_fixture.h"
#include "transport/packet_ids.h"

namespace parlivo::testing {
namespace {

// Appends what the descriptor holds now to `text`; never waits (its
// description is made non-blocking first).
void ReadNow(int fd, std::string& text) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
}

TEST(PendingLog, KeepsWholeLinesToItsCapacityAndTellsOfTheDroppedBeforeAnyLaterLine) {
  PendingLog log(100);
  log.Append(std::string(39, 'a'));
  log.Append(std::string(69, 'b'));  // 110 bytes: dropped
  log.Append("d");                     // would fit, but not before the notice, which waits for the output
  EXPECT_EQ(log.Front(), std::string(39, 'a') + "\n");
  log.Consume(10);  // a part of a line: room for the notice
  EXPECT_EQ(log.Front(), std::string(29, 'a') + "\n2 log lines dropped: the output was not being read\n");
  log.Append(std::string(100 - log.Size() - 1, 'f'));  // exactly full
  EXPECT_EQ(log.Size(), 100u);
  log.Append("");
  log.Consume(100);
  EXPECT_EQ(log.Front(), "1 log line dropped: the output was not being read\n");
  // An output that always leaves a little behind costs no more memory.
  for (int i = 0; i < 1000; ++i) {
    log.Append(std::string(9, 'g'));
    log.Consume(log.Size() - 5);
  }
  EXPECT_LT(log.Held(), 200u);
}

// The line about dropped lines goes in once it fits whole, and not before.
TEST(PendingLog, TheNoticeOfDroppedLinesWaitsForRoomForAllOfIt) {
  const std::size_t notice = DroppedLinesNotice(1).size() + 1;
  PendingLog log(2 * notice - 1);
  log.Append(std::string(notice, 'a'));       // notice + 1 bytes
  log.Append(std::string(notice - 2, 'b'));  // one byte more than the room left
  log.Consume(1);  // room for the notice less one byte
  EXPECT_EQ(log.Dropped(), 1u);
  log.Consume(1);  // room for all of it
  EXPECT_EQ(log.Dropped(), 0u);
  EXPECT_EQ(log.Size(), 2 * notice - 1);
}

// Each kind of output takes what it has room for and returns at once; once
// read, it takes more, and every byte arrives once, in order.
TEST(NonBlockingOutput, AFullPipeOrSocketTakesWhatFitsWithoutWaiting) {
  using P = NonBlockingOutput::Private;
  for (const auto& [socket, use] : {std::pair{false, P::IfPossible}, {false, P::Never}, {true, P::IfPossible}}) {
    int ends[2];
    ASSERT_EQ(socket ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) : ::pipe2(ends, O_CLOEXEC), 0);
    std::string sent, received, chunk(100000, 'x');
    {
      NonBlockingOutput output(ends[1], use);
      for (std::size_t i = 0, taken = 1; i < 1000 && taken != 0; ++i) {
        chunk[0] = static_cast<char>('a' + i % 26);  // each write told apart
        taken = output.Write(chunk.data(), chunk.size());
        sent.append(chunk, 0, taken);
      }
      ReadNow(ends[0], received);
      EXPECT_EQ(output.Write("!", 1), 1u) << socket;
    }
    ReadNow(ends[0], received);
    EXPECT_TRUE(!sent.empty() && received == sent + "!") << socket << " " << received.size() << " " << sent.size();
    ::close(ends[0]);
    ::close(ends[1]);
  }
  // A pipe with room takes a large write at once, not a pipe's atomic
  // unit at a time; one whose reader is gone is broken, full or not.
  std::signal(SIGPIPE, SIG_IGN);
  for (const auto use : {P::IfPossible, P::Never}) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    NonBlockingOutput output(ends[1], use);
    const std::string big(32768, 'b');
    const std::size_t taken = output.Write(big.data(), big.size());
    EXPECT_EQ(taken, use == P::IfPossible ? big.size() : std::size_t{PIPE_BUF});
    while (output.Write(big.data(), big.size()) != 0) {
    }
    ::close(ends[0]);
    EXPECT_EQ(output.Write("x", 1), 0u);
    EXPECT_TRUE(output.Broken());
    ::close(ends[1]);
  }

  // A log file opened to append (>>) keeps what it held.
  QTemporaryDir folder;
  const std::string path = folder.filePath("log").toStdString();
  std::ofstream(path) << "old\n";
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  EXPECT_EQ(NonBlockingOutput(fd).Write("new\n", 4), 4u);
  ::close(fd);
  std::ifstream file(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "old\nnew\n");
}

using HeadlessLog = FormFixture;

// The pipe stands for a paused terminal or a pager left alone: 300 long
// chat lines are far more than it holds, yet the server goes on (a new
// client is greeted), and once it is read the gap is counted.
TEST_F(HeadlessLog, AnOutputNobodyReadsHoldsNothingUpAndTheDroppedLinesAreCounted) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  std::FILE* out = ::fdopen(ends[1], "w");
  std::string printed;
  constexpr int kTexts = 300;
  {
    HeadlessFront front(out);
    form.mChat.OnAppend = [&front](const std::string& line) { front.LogAppended(line); };
    ASSERT_TRUE(Start());
    Client& ann = Join("Ann", "Lobby");
    for (int i = 0; i < kTexts; ++i) ann.connection.sendChat(std::to_string(i) + std::string(4000, 'x'));
    ASSERT_TRUE(WaitUntil([&] { return ann.connection.flush() && ann.Payloads(pidMessage).size() == kTexts; }, 20000));
    EXPECT_LE(front.Unwritten(), PendingLog::kDefaultCapacity);
    EXPECT_TRUE(front.Watching());
    Client& bob = Connect();
    EXPECT_TRUE(WaitUntil([&] { return bob.Has(pidConnected); }));
    EXPECT_TRUE(WaitUntil([&] {
      ReadNow(ends[0], printed);
      return front.Unwritten() == 0;
    }));
    EXPECT_FALSE(front.Watching());
    form.FormCloseQuery();
    form.mChat.OnAppend = nullptr;
  }
  std::fclose(out);
  ::close(ends[0]);
  // Texts 0 to k-1 in order, then the count of the rest and Bob's arrival.
  int next = 0;
  std::size_t at = 0;
  for (std::size_t found; (found = printed.find("Broadcasting \"", at)) != std::string::npos; at = found + 1)
    ASSERT_EQ(std::stoi(printed.substr(found + 14, 4)), next++);
  ASSERT_GT(next, 0);
  EXPECT_NE(printed.find(std::to_string(kTexts - next + 1) + " log lines dropped: the output was not being read\n", at),
            std::string::npos)
      << printed.substr(at, 300);
}

// At the end, what waits is written while the reader reads, and waited for
// no longer than the front was told when nobody does.
TEST(HeadlessFront, AtTheEndWhatWaitsIsWrittenForABoundedTime) {
  const std::string line(999, 'y');
  for (const bool reading : {true, false}) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    std::FILE* out = ::fdopen(ends[1], "w");
    std::fputs("first\n", out);  // what the stream held goes first
    std::string printed;
    std::thread reader;
    {
      HeadlessFront front(out, reading ? 20000 : 50);
      for (int i = 0; i < 300; ++i) front.LogAppended(line);
      front.Flush();
      ASSERT_GT(front.Unwritten(), 0u);
      if (reading) reader = std::thread([&] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;)
          printed.append(buffer, static_cast<std::size_t>(n));
      });
    }
    std::fclose(out);  // the last writer: the reader sees the end
    if (reading) reader.join();
    ReadNow(ends[0], printed);
    ::close(ends[0]);
    EXPECT_EQ(printed.size() == 300u * 1000 + 6, reading) << printed.size();
    EXPECT_EQ(printed.rfind("first\ny", 0), 0u) << reading;
  }
}

}  // namespace
}  // namespace parlivo::testing
