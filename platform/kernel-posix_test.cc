#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/faults-posix.h"
#include "platform/handles-posix.h"
#include "tests/support/capture.h"

namespace {

struct KernelTest : testing::Test {
  void SetUp() override { reset_platform(); }
  void TearDown() override { reset_platform(); }
};

TEST_F(KernelTest, EventStatesAcrossWaits) {
  struct Case {
    BOOL manual_reset;
    BOOL initial_state;
    bool set_twice;  // two SetEvent calls before the waits
    DWORD first_wait;
    DWORD second_wait;
  };
  const Case cases[] = {
      {FALSE, TRUE, false, WAIT_OBJECT_0, WAIT_TIMEOUT},  // initial signal consumed
      {FALSE, FALSE, false, WAIT_TIMEOUT, WAIT_TIMEOUT},  // nothing to consume
      {FALSE, FALSE, true, WAIT_OBJECT_0, WAIT_TIMEOUT},  // signals do not add up
      {TRUE, TRUE, false, WAIT_OBJECT_0, WAIT_OBJECT_0},  // manual reset stays set
      {TRUE, FALSE, true, WAIT_OBJECT_0, WAIT_OBJECT_0},  // ... also once set
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "manual " << c.manual_reset << " initial " << c.initial_state
                                    << " set twice " << c.set_twice);
    HANDLE event = CreateEventA(nullptr, c.manual_reset, c.initial_state, nullptr);
    ASSERT_NE(event, nullptr);
    if (c.set_twice) {
      EXPECT_EQ(SetEvent(event), TRUE);
      EXPECT_EQ(SetEvent(event), TRUE);
    }
    EXPECT_EQ(WaitForSingleObject(event, 0), c.first_wait);
    EXPECT_EQ(WaitForSingleObject(event, 20), c.second_wait);
    EXPECT_EQ(CloseHandle(event), TRUE);
  }
}

TEST_F(KernelTest, EventCreationFailsOnTheNamedCall) {
  platform_faults.event_fail_call = 1;
  HANDLE first = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE second = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(platform_log.events_created, 1);
  CloseHandle(first);
}

// Waits once, without limit, on the event it is given, then counts itself.
struct Waiter {
  HANDLE event;
  std::atomic<int>* released;
};

unsigned WINAPI wait_then_count(void* argument) {
  Waiter* waiter = static_cast<Waiter*>(argument);
  WaitForSingleObject(waiter->event, INFINITE);
  ++*waiter->released;
  return 0;
}

TEST_F(KernelTest, OneSignalReleasesOneWaiter) {
  std::atomic<int> released{0};
  Waiter waiter = {CreateEventA(nullptr, FALSE, FALSE, nullptr), &released};
  HANDLE threads[2];
  for (HANDLE& thread : threads) {
    thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, wait_then_count, &waiter, 0, nullptr));
    ASSERT_NE(thread, nullptr);
  }

  SetEvent(waiter.event);
  // One thread ends; the other keeps waiting, and so does its handle.
  HANDLE ended = nullptr;
  while (ended == nullptr) {
    for (HANDLE thread : threads) {
      if (WaitForSingleObject(thread, 1) == WAIT_OBJECT_0) ended = thread;
    }
  }
  HANDLE other = ended == threads[0] ? threads[1] : threads[0];
  EXPECT_EQ(WaitForSingleObject(other, 100), WAIT_TIMEOUT);
  EXPECT_EQ(released, 1);

  SetEvent(waiter.event);
  EXPECT_EQ(WaitForSingleObject(other, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(released, 2);
  // An ended thread stays signalled for as long as its handle is open.
  EXPECT_EQ(WaitForSingleObject(ended, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(ended, INFINITE), WAIT_OBJECT_0);
  for (HANDLE thread : threads) CloseHandle(thread);
  CloseHandle(waiter.event);
}

TEST_F(KernelTest, ThreadOutlivesItsClosedHandle) {
  std::atomic<int> released{0};
  Waiter waiter = {CreateEventA(nullptr, FALSE, FALSE, nullptr), &released};
  HANDLE thread =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, wait_then_count, &waiter, 0, nullptr));
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  CloseHandle(thread);

  // The thread still runs and ends normally; the sanitizers watch what it
  // touches after its handle went away.
  SetEvent(waiter.event);
  while (released == 0) std::this_thread::yield();
  CloseHandle(waiter.event);
}

TEST_F(KernelTest, ThreadCreationFault) {
  platform_faults.thread_fail = true;
  std::atomic<int> released{0};
  Waiter waiter = {CreateEventA(nullptr, FALSE, TRUE, nullptr), &released};
  EXPECT_EQ(_beginthreadex(nullptr, 0, wait_then_count, &waiter, 0, nullptr), 0u);
  // The body never ran: the initial signal is still there.
  EXPECT_EQ(WaitForSingleObject(waiter.event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(released, 0);
  CloseHandle(waiter.event);
}

// The code page of Linux names: UTF-8 as characters, any other byte held
// as U+DC00 + byte, so that every name comes back as it was.
TEST_F(KernelTest, NamesToWideAndBack) {
  struct Case {
    std::string bytes;
    std::wstring wide;
  };
  const Case cases[] = {
      {"a/\xc3\xa9\xe9\x9f\xb3\xf0\x9f\x8e\xb5", L"a/\u00e9\u97f3\U0001f3b5"},
      {"\xff\x80", L"\xdcff\xdc80"},                      // never UTF-8
      {"\xc0\x80", L"\xdcc0\xdc80"},                      // overlong
      {"\xed\xa0\x80", L"\xdced\xdca0\xdc80"},            // a surrogate
      {"\xe9\x9f.", L"\xdce9\xdc9f."},                    // cut short
      {"\xf4\x90\x80\x80", L"\xdcf4\xdc90\xdc80\xdc80"},  // past U+10FFFF
  };
  for (const Case& c : cases) {
    wchar_t wide[16];
    int size = MultiByteToWideChar(CP_ACP, 0, c.bytes.c_str(), -1, wide, 16);
    EXPECT_EQ(std::wstring(wide, size), c.wide + L'\0') << c.bytes;
    char bytes[32];
    BOOL lossy = TRUE;
    size = WideCharToMultiByte(CP_ACP, 0, wide, -1, bytes, 32, nullptr, &lossy);
    EXPECT_EQ(std::string(bytes, size), c.bytes + '\0');
    EXPECT_FALSE(lossy);
  }
  // A lone high surrogate spells no byte.
  char bytes[8];
  BOOL lossy = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"a\xd800", 2, bytes, 8, nullptr, &lossy), 2);
  EXPECT_EQ(std::string(bytes, 2), "a?");
  EXPECT_TRUE(lossy);
  EXPECT_FALSE(PathFileExistsW(L"/\xd800"));
}

// A file is known by volume and id, whatever name or handle reaches it.
TEST_F(KernelTest, FileIdentity) {
  TempDir dir;
  const std::string file = dir.file("a.wav"), link = dir.file("b.wav"), other = dir.file("c.wav");
  fclose(fopen(file.c_str(), "w"));
  fclose(fopen(other.c_str(), "w"));
  ASSERT_EQ(::link(file.c_str(), link.c_str()), 0);
  auto identity_of = [](HANDLE handle) {
    FILE_ID_INFO id{};
    if (!GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) return std::string();
    return std::to_string(id.VolumeSerialNumber) + ":" +
           std::string(reinterpret_cast<const char*>(id.FileId.Identifier), 16);
  };
  auto identity = [&](const std::string& path) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle = CreateFileW(wide(path).c_str(), 0, share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::string("none");
    const std::string id = identity_of(handle);
    CloseHandle(handle);
    return id;
  };
  EXPECT_EQ(identity(file), identity(link));
  EXPECT_NE(identity(file), identity(other));
  EXPECT_EQ(identity(dir.file("missing.wav")), "none");

  // Standard output, pointed at the file, is that file.
  fflush(stdout);
  const int saved = dup(1);
  const int fd = open(link.c_str(), O_WRONLY);
  dup2(fd, 1);
  const std::string standard = identity_of(GetStdHandle(STD_OUTPUT_HANDLE));
  dup2(saved, 1);
  close(fd);
  close(saved);
  EXPECT_EQ(standard, identity(file));
  // Events and threads are no files, nor is a device; a pipe, which Linux
  // names as a file (/dev/stdout), is known.
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(identity_of(event), "");
  CloseHandle(event);
  EXPECT_EQ(identity("/dev/null"), "");
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  HANDLE read_end = descriptor_handle(ends[0], true);
  HANDLE write_end = descriptor_handle(ends[1], true);
  EXPECT_NE(identity_of(read_end), "");
  EXPECT_EQ(identity_of(read_end), identity_of(write_end));
  EXPECT_EQ(GetFileType(read_end), FILE_TYPE_PIPE);
  CloseHandle(read_end);
  CloseHandle(write_end);
}

// Whole-file locks through two handles of one file bind each other, as
// Windows' byte-range locks bind every other handle; devices hold none.
TEST_F(KernelTest, LockFileExHoldsAgainstOtherHandles) {
  TempDir dir;
  const std::string path = dir.file("held.wav");
  fclose(fopen(path.c_str(), "w"));
  HANDLE first = descriptor_handle(open(path.c_str(), O_WRONLY), true);
  HANDLE second = descriptor_handle(open(path.c_str(), O_WRONLY), true);
  EXPECT_EQ(GetFileType(first), FILE_TYPE_DISK);
  const DWORD exclusive = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
  OVERLAPPED whole = {};
  ASSERT_TRUE(LockFileEx(first, exclusive, 0, MAXDWORD, MAXDWORD, &whole));
  SetLastError(0);
  EXPECT_FALSE(LockFileEx(second, exclusive, 0, MAXDWORD, MAXDWORD, &whole));
  EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
  EXPECT_EQ(_wfsopen(wide(path).c_str(), L"wb", _SH_DENYWR), nullptr);  // nor opened to write
  EXPECT_TRUE(UnlockFileEx(first, 0, MAXDWORD, MAXDWORD, &whole));
  EXPECT_TRUE(LockFileEx(second, exclusive, 0, MAXDWORD, MAXDWORD, &whole));
  CloseHandle(first);
  CloseHandle(second);

  HANDLE device = descriptor_handle(open("/dev/null", O_WRONLY), true);
  EXPECT_EQ(GetFileType(device), FILE_TYPE_CHAR);
  CloseHandle(device);
}

// What an open for reading that shares nothing answers for `path`: 0 when
// it opened (and whether it is a console), else the error.
struct ExclusiveOpen {
  DWORD error;
  bool console;
};
ExclusiveOpen open_sharing(const std::string& path, DWORD share = 0) {
  SetLastError(0);
  HANDLE handle = CreateFileW(wide(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {GetLastError(), false};
  DWORD mode;
  const bool console = GetConsoleMode(handle, &mode);
  CloseHandle(handle);
  return {0, console};
}

// Sharing nothing, the open fails while any other open of the file exists,
// as on Windows (another process's too: the robustness suite); one by name
// alone (no access) is none, and sharing lets the others in.
TEST_F(KernelTest, OpenSharingNothingSeesEveryOtherOpen) {
  TempDir dir;
  const std::string path = dir.file("held.wav");
  fclose(fopen(path.c_str(), "w"));
  const struct {
    const char* name;
    int other_open;  // flags of another open meanwhile; -1 none
    DWORD share;
    DWORD error;
  } cases[] = {
      {"no other open", -1, 0, 0},
      {"read elsewhere", O_RDONLY, 0, ERROR_SHARING_VIOLATION},
      {"written elsewhere", O_WRONLY, 0, ERROR_SHARING_VIOLATION},
      {"named elsewhere", O_PATH, 0, 0},
      {"read elsewhere, shared", O_RDONLY, FILE_SHARE_READ | FILE_SHARE_WRITE, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int other = c.other_open < 0 ? -1 : open(path.c_str(), c.other_open);
    EXPECT_EQ(open_sharing(path, c.share).error, c.error);
    if (other >= 0) close(other);
  }
  EXPECT_EQ(open_sharing(dir.file("missing.wav")).error, ERROR_FILE_NOT_FOUND);
}

// Neither a FIFO that has no writer nor a terminal keeps the open waiting;
// a terminal so opened is a console, as CON is on Windows.
TEST_F(KernelTest, OpenSharingNothingOfDevices) {
  TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const ExclusiveOpen pipe_open = open_sharing(fifo);
  EXPECT_EQ(pipe_open.error, 0u);
  EXPECT_FALSE(pipe_open.console);
  int leader, follower;
  ASSERT_EQ(openpty(&leader, &follower, nullptr, nullptr, nullptr), 0);
  const ExclusiveOpen terminal_open = open_sharing(ttyname(follower));
  EXPECT_EQ(terminal_open.error, 0u);
  EXPECT_TRUE(terminal_open.console);
  close(follower);
  close(leader);
}

// A terminal is a console: its size as the terminal has it at each call,
// and text written as the Linux layer's code page spells it.
TEST_F(KernelTest, TerminalIsAConsole) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  TerminalCapture terminal(stderr, 37);
  DWORD mode = 0;
  EXPECT_TRUE(GetConsoleMode(err, &mode));
  CONSOLE_SCREEN_BUFFER_INFO info;
  auto size = [&] {
    if (!GetConsoleScreenBufferInfo(err, &info)) return std::string("none");
    return std::to_string(info.dwSize.X) + "x" + std::to_string(info.dwSize.Y) + " window " +
           std::to_string(info.srWindow.Left) + "," + std::to_string(info.srWindow.Top) + "-" +
           std::to_string(info.srWindow.Right) + "," + std::to_string(info.srWindow.Bottom);
  };
  EXPECT_EQ(size(), "37x24 window 0,0-36,23");
  terminal.resize(120);
  EXPECT_EQ(size(), "120x24 window 0,0-119,23");
  terminal.resize(0);  // a terminal that knows no size, as Wine answers it
  EXPECT_EQ(size(), "80x150 window 0,0-79,149");
  DWORD written = 0;
  const std::wstring text = L"書き\xdcff\xdc80\u00e9\xd800\n";
  EXPECT_TRUE(WriteConsoleW(err, text.data(), DWORD(text.size()), &written, nullptr));
  EXPECT_EQ(written, text.size());
  EXPECT_TRUE(WriteConsoleW(err, L"", 0, &written, nullptr));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(terminal.finish(), "書き\xff\x80\xc3\xa9?\n");
}

// Not a console: a file refuses both calls, and nothing is written.
TEST_F(KernelTest, FileIsNoConsole) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  StreamCapture file(stderr);
  DWORD mode = 0;
  CONSOLE_SCREEN_BUFFER_INFO info;
  DWORD written = 1;
  EXPECT_FALSE(GetConsoleMode(err, &mode));
  EXPECT_FALSE(GetConsoleScreenBufferInfo(err, &info));
  EXPECT_FALSE(WriteConsoleW(err, L"text", 4, &written, nullptr));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(file.finish(), "");
}

}  // namespace
