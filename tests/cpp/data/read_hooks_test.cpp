// A reader over a pipe: the caller hears before a read may block, and a
// signal that interrupts a read lets the caller give it up -- or retry it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <optional>
#include <thread>

#include "data/ticks.hpp"
#include "files.hpp"

namespace halvorn::data {
namespace {

using testing::ScratchDir;

struct Calls {
  std::atomic<int> before{0};
  std::atomic<int> interrupted{0};
  bool give_up = true;
};

ReadHooks hooks_for(Calls& calls) {
  return ReadHooks{
      &calls,
      [](void* c) { ++static_cast<Calls*>(c)->before; },
      [](void* c) {
        auto* calls = static_cast<Calls*>(c);
        ++calls->interrupted;
        return calls->give_up;
      },
  };
}

// Interrupts the blocked thread with a signal whose handler does nothing
// and is installed without SA_RESTART, as the interpreter installs its own,
// until `done`: a signal that lands before the read blocks is harmless, the
// next one finds it blocked.
class Interrupter {
 public:
  explicit Interrupter(pthread_t target) : target_(target) {
    struct sigaction action{};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGUSR1, &action, &saved_);
    thread_ = std::thread([this] {
      while (!done_) {
        pthread_kill(target_, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }
  ~Interrupter() {
    done_ = true;
    thread_.join();
    sigaction(SIGUSR1, &saved_, nullptr);
  }

 private:
  pthread_t target_;
  struct sigaction saved_{};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST(ReadHooks, AnInterruptedHeaderReadIsGivenUp) {
  ScratchDir dir;
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Held open for writing and never written: every read of the header blocks.
  const int writer = ::open(fifo.c_str(), O_RDWR);
  ASSERT_GE(writer, 0);
  Calls calls;
  std::optional<Opened> opened;
  {
    Interrupter interrupter(pthread_self());
    opened.emplace(TickReader::open(fifo, hooks_for(calls)));
  }
  ::close(writer);
  EXPECT_TRUE(std::holds_alternative<Interrupted>(*opened));
  EXPECT_GE(calls.before.load(), 1);
  EXPECT_GE(calls.interrupted.load(), 1);
}

TEST(ReadHooks, ARetriedReadGoesOnWhenTheBytesCome) {
  ScratchDir dir;
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int writer = ::open(fifo.c_str(), O_RDWR);
  ASSERT_GE(writer, 0);
  const std::vector<std::uint8_t> file = encode(3, testing::series(5));
  Calls calls;
  calls.give_up = false;
  std::atomic<bool> interrupted_once{false};
  // The bytes come only after the read has been interrupted at least once,
  // so the retry is what finds them.
  std::thread feeder([&] {
    while (calls.interrupted.load() == 0) std::this_thread::yield();
    ASSERT_EQ(::write(writer, file.data(), file.size()), static_cast<ssize_t>(file.size()));
    ::close(writer);
    interrupted_once = true;
  });
  std::optional<Opened> opened;
  {
    Interrupter interrupter(pthread_self());
    opened.emplace(TickReader::open(fifo, hooks_for(calls)));
  }
  feeder.join();
  ASSERT_TRUE(std::holds_alternative<TickReader>(*opened));
  TickReader& reader = std::get<TickReader>(*opened);
  EXPECT_EQ(reader.instrument(), 3u);
  std::size_t n = 0;
  while (std::holds_alternative<engine::Tick>(reader.next())) ++n;
  EXPECT_EQ(n, 5u);
  EXPECT_FALSE(reader.interrupted());
  EXPECT_TRUE(interrupted_once);
}

}  // namespace
}  // namespace halvorn::data
