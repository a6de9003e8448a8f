// Stand-ins for the kernel32 events and the C runtime's _beginthreadex: just
// the behaviour tonewell relies on, built on the C++ thread library.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/standin_faults.h"

namespace {

// An event, or a thread that counts as signalled once it has ended.
struct KernelObject {
  std::mutex mutex;
  std::condition_variable changed;
  bool manual_reset;  // threads stay signalled; auto-reset events do not
  bool signaled;

  void set() {
    std::lock_guard<std::mutex> lock(mutex);
    signaled = true;
    changed.notify_all();
  }

  DWORD wait(DWORD milliseconds) {
    std::unique_lock<std::mutex> lock(mutex);
    auto ready = [this] { return signaled; };
    if (milliseconds == INFINITE) {
      changed.wait(lock, ready);
    } else if (!changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
      return WAIT_TIMEOUT;
    }
    // Auto-reset: this wait consumes the signal, so one SetEvent releases
    // exactly one waiter.
    if (!manual_reset) signaled = false;
    return WAIT_OBJECT_0;
  }
};

// A HANDLE points to one of these. A running thread holds a second
// reference, so closing its handle early frees nothing the thread touches.
typedef std::shared_ptr<KernelObject> Reference;

HANDLE new_handle(bool manual_reset, bool signaled) {
  Reference object = std::make_shared<KernelObject>();
  object->manual_reset = manual_reset;
  object->signaled = signaled;
  return new Reference(std::move(object));
}

Reference& reference_of(HANDLE handle) { return *static_cast<Reference*>(handle); }

}  // namespace

// The call that standin_faults.event_fail_call names is counted by the
// events created before it, so it fails only if every earlier call succeeded.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCSTR) {
  if (standin_log.events_created == standin_faults.event_fail_call) return nullptr;
  ++standin_log.events_created;
  return new_handle(manual_reset != FALSE, initial_state != FALSE);
}

BOOL SetEvent(HANDLE event) {
  reference_of(event)->set();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return reference_of(handle)->wait(milliseconds);
}

BOOL CloseHandle(HANDLE handle) {
  delete &reference_of(handle);
  return TRUE;
}

uintptr_t _beginthreadex(void*, unsigned, _beginthreadex_proc_type start, void* argument, unsigned,
                         unsigned*) {
  if (standin_faults.thread_fail) return 0;
  HANDLE handle = new_handle(true, false);
  Reference running = reference_of(handle);
  try {
    std::thread([running, start, argument] {
      start(argument);
      running->set();
    }).detach();
  } catch (const std::system_error&) {
    // The runtime answers 0 when it cannot start a thread.
    CloseHandle(handle);
    return 0;
  }
  return reinterpret_cast<uintptr_t>(handle);
}
