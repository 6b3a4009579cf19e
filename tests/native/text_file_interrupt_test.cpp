// Reading files that may never end or never open: FIFOs without a writer,
// pipes that stay open, endless devices. Each case is bounded, so a
// regression fails the test instead of hanging the suite.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "base/file_descriptor.h"
#include "base/interrupt_check.h"
#include "text/content_hash.h"
#include "text/text_file.h"
#include "reference_digest.h"
#include "scan_test_support.h"
#include "temp_dir.h"

namespace brightloom {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

constexpr std::string_view INTERRUPTED = "Interrupted system call (os error 4)";

std::atomic<int> check_calls{0};
bool stop_check() {
    ++check_calls;
    return true;
}
bool go_on_check() {
    ++check_calls;
    return false;
}
bool stop_at_third_check() { return ++check_calls >= 3; }

// A SIGUSR1 handler installed without SA_RESTART, as the interpreter installs
// its own, so a blocked open or read fails with EINTR; restored afterwards.
class SignalWithoutRestart {
public:
    SignalWithoutRestart() {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGUSR1, &action, &previous_);
    }
    ~SignalWithoutRestart() { ::sigaction(SIGUSR1, &previous_, nullptr); }
    SignalWithoutRestart(const SignalWithoutRestart&) = delete;
    SignalWithoutRestart& operator=(const SignalWithoutRestart&) = delete;

private:
    struct sigaction previous_ {};
};

std::string fifo_in(const TempDir& dir) {
    const std::string path = (dir.path() / "pipe").string();
    if (::mkfifo(path.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo failed";
    return path;
}

// Runs a read on its own thread with `check` installed and signals that
// thread. The handler stays installed until the thread is joined, so no
// signal can arrive after it is gone.
template <class Value>
class SignalledRead {
public:
    SignalledRead(InterruptCheck check, std::function<Result<Value>()> read)
        : reader_([this, check, read = std::move(read)] {
              InterruptScope scope(check);
              result_ = read();
              done_ = true;
          }) {}
    ~SignalledRead() {
        if (reader_.joinable()) reader_.join();
    }
    SignalledRead(const SignalledRead&) = delete;
    SignalledRead& operator=(const SignalledRead&) = delete;

    // Signals until the read ends or `keep_signalling` says no more. A read
    // still blocked after 10 s fails the test and is released by a writer.
    void signal_while(const std::string& fifo, const std::function<bool()>& keep_signalling) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!done_ && keep_signalling()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ADD_FAILURE() << "the read was still blocked after 10 s";
                FileDescriptor release(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
                return;
            }
            pthread_kill(reader_.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(5ms);
        }
    }

    Result<Value> join() {
        reader_.join();
        return std::move(result_);
    }

private:
    SignalWithoutRestart handler_;  // first in, last out: outlives the thread
    std::atomic<bool> done_{false};
    Result<Value> result_{CommandError{"not run"}};
    std::thread reader_;
};

TEST(InterruptedRead, OpenOfAFifoWithoutWriterEndsWhenTheCheckSaysStop) {
    TempDir dir;
    const std::string fifo = fifo_in(dir);
    {
        SignalledRead<FileDigest> hash(stop_check, [&] { return digest_text_file(fifo, OpenMode::any_file); });
        hash.signal_while(fifo, [] { return true; });
        Result<FileDigest> digest = hash.join();
        ASSERT_FALSE(digest.ok());
        EXPECT_EQ(digest.error().message, INTERRUPTED);
    }
    SignalledRead<std::string> whole(stop_check, [&] { return read_text_file(fifo); });
    whole.signal_while(fifo, [] { return true; });
    Result<std::string> text = whole.join();
    ASSERT_FALSE(text.ok());
    EXPECT_EQ(text.error().message, INTERRUPTED);
}

// A signal whose handler does not ask to stop (SIGCHLD, a Python handler that
// returns) must not end the open: it is retried until a writer comes.
TEST(InterruptedRead, OpenIsRetriedWhenTheCheckSaysGoOn) {
    TempDir dir;
    const std::string fifo = fifo_in(dir);
    check_calls = 0;
    SignalledRead<FileDigest> hash(go_on_check, [&] { return digest_text_file(fifo, OpenMode::any_file); });
    hash.signal_while(fifo, [] { return check_calls < 3; });
    {
        FileDescriptor writer(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
        ASSERT_TRUE(writer.valid());
        ASSERT_EQ(::write(writer.get(), "ab\r\n", 4), 4);
    }
    Result<FileDigest> digest = hash.join();
    EXPECT_GE(check_calls, 3);
    ASSERT_TRUE(digest.ok()) << digest.error().message;
    EXPECT_EQ(digest->hash, testing::reference_hash("ab\n"));
}

// /dev/zero is valid UTF-8 forever; only the caller's stop ends it.
TEST(InterruptedRead, AnEndlessDeviceEndsBetweenChunks) {
    const auto failure = [](auto result) { return result.ok() ? CommandError{"read"} : result.error(); };
    const CommandError streamed = testing::within_seconds(30, [&] {
        check_calls = 0;
        InterruptScope scope(stop_at_third_check);
        return failure(digest_text_file("/dev/zero", OpenMode::any_file));
    });
    EXPECT_EQ(streamed.message, INTERRUPTED);
    const CommandError whole = testing::within_seconds(30, [&] {
        check_calls = 0;
        InterruptScope scope(stop_at_third_check);
        return failure(read_text_file("/dev/zero"));
    });
    EXPECT_EQ(whole.message, INTERRUPTED);

    // Read whole, it also stops once it is longer than any parse could take
    // (a small limit here stands in for the 4 GiB one).
    const CommandError capped = testing::within_seconds(30, [&] {
        return failure(read_text_file("/dev/zero", std::size_t{1} << 20));
    });
    EXPECT_EQ(capped.message, TOO_LARGE_TO_PARSE_MESSAGE);
}

// A pipe whose writer stays open but has sent bytes that are not UTF-8: the
// answer is known at the first chunk, so the read must not wait for the end.
TEST(StreamReadStop, ANonRegularFileFailsAtTheFirstInvalidChunk) {
    TempDir dir;
    const std::string fifo = fifo_in(dir);
    struct Reader {
        const char* name;
        std::function<CommandError()> read;
    };
    const auto failure = [](auto result) { return result.ok() ? CommandError{"read"} : result.error(); };
    const Reader readers[] = {
        {"stream", [&] { return failure(digest_text_file(fifo, OpenMode::any_file)); }},
        {"whole", [&] { return failure(read_text_file(fifo)); }},
    };
    for (const Reader& reader : readers) {
        SCOPED_TRACE(reader.name);
        std::promise<void> finished;
        std::future<void> finished_signal = finished.get_future();
        std::future<bool> writer = std::async(std::launch::async, [&] {
            FileDescriptor fd(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
            if (!fd.valid() || ::write(fd.get(), "ok\n\xC3(", 5) != 5) return false;
            // Holds the pipe open until the reader answers, or gives up.
            return finished_signal.wait_for(10s) == std::future_status::ready;
        });
        const CommandError error = reader.read();
        finished.set_value();
        EXPECT_TRUE(writer.get()) << "the reader waited for the end of the pipe";
        EXPECT_EQ(error.message, INVALID_UTF8_MESSAGE);
    }
}

}  // namespace
}  // namespace brightloom
