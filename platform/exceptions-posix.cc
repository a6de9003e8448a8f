// The Linux layer's kernel32 calls that catch faults: a fault is a signal
// here (SIGSEGV, SIGBUS, SIGILL, SIGFPE), handed to the vectored handlers
// and then the unhandled-exception filter as Windows hands an exception. The
// handler runs on the faulting thread, on its alternate signal stack where
// SetThreadStackGuarantee gave it one, so that a stack overflow still finds
// room. It calls nothing but what it is given.
#include <signal.h>
#include <sys/mman.h>

#include <atomic>

#include "platform/windows-posix.h"

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};

std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> top_filter{nullptr};
// Handlers are added, never removed, and read by the signal handler.
constexpr int kMaxVectoredHandlers = 4;
std::atomic<PVECTORED_EXCEPTION_HANDLER> vectored_handlers[kMaxVectoredHandlers];
std::atomic<int> vectored_count{0};

DWORD exception_code(int signal_number) {
  switch (signal_number) {
    case SIGBUS:
      return EXCEPTION_IN_PAGE_ERROR;
    case SIGILL:
      return EXCEPTION_ILLEGAL_INSTRUCTION;
    case SIGFPE:
      return EXCEPTION_INT_DIVIDE_BY_ZERO;
    default:
      return EXCEPTION_ACCESS_VIOLATION;
  }
}

void set_fault_action(void (*action)(int, siginfo_t*, void*)) {
  struct sigaction fault = {};
  sigemptyset(&fault.sa_mask);
  if (action != nullptr) {
    fault.sa_sigaction = action;
    fault.sa_flags = SA_SIGINFO | SA_ONSTACK;
  } else {
    fault.sa_handler = SIG_DFL;
  }
  for (int signal_number : kFaultSignals) sigaction(signal_number, &fault, nullptr);
}

// Whoever continues the search leaves the fault as it was: with the default
// action back, the faulting instruction runs again and ends the process.
void on_fault(int signal_number, siginfo_t* info, void*) {
  EXCEPTION_RECORD record = {exception_code(signal_number), 0, nullptr, info->si_addr};
  EXCEPTION_POINTERS pointers = {&record, nullptr};
  for (int i = 0; i < vectored_count.load(); ++i) {
    if (vectored_handlers[i].load()(&pointers) == EXCEPTION_CONTINUE_EXECUTION) return;
  }
  const LPTOP_LEVEL_EXCEPTION_FILTER filter = top_filter.load();
  if (filter != nullptr && filter(&pointers) == EXCEPTION_CONTINUE_EXECUTION) return;
  signal(signal_number, SIG_DFL);
}

void catch_faults() {
  set_fault_action(top_filter.load() != nullptr || vectored_count.load() > 0 ? on_fault : nullptr);
}

}  // namespace

LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
  const LPTOP_LEVEL_EXCEPTION_FILTER previous = top_filter.exchange(filter);
  catch_faults();
  return previous;
}

LPVOID AddVectoredExceptionHandler(ULONG, PVECTORED_EXCEPTION_HANDLER handler) {
  const int slot = vectored_count.load();
  if (slot == kMaxVectoredHandlers) return nullptr;
  vectored_handlers[slot].store(handler);
  vectored_count.store(slot + 1);
  catch_faults();
  return reinterpret_cast<LPVOID>(handler);
}

// The stack is mapped once for the thread and kept for its life.
BOOL SetThreadStackGuarantee(ULONG* size) {
  stack_t current = {};
  sigaltstack(nullptr, &current);
  const ULONG previous = (current.ss_flags & SS_DISABLE) ? 0 : ULONG(current.ss_size);
  const size_t wanted = *size < ULONG(SIGSTKSZ) ? size_t(SIGSTKSZ) : size_t(*size);
  *size = previous;
  if (wanted <= previous) return TRUE;
  void* memory = mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return FALSE;
  stack_t alternate = {};
  alternate.ss_sp = memory;
  alternate.ss_size = wanted;
  if (sigaltstack(&alternate, nullptr) == 0) return TRUE;
  munmap(memory, wanted);
  return FALSE;
}
