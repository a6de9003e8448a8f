// The Windows calls tonewell makes, declared for the Linux program, which
// links our Linux layer (platform/*-posix.cc) in place of avifil32, ole32,
// shlwapi, kernel32 and the CRT. Names, widths, record layouts and result
// codes match the Windows SDK; the layer ships in the program.
#ifndef TONEWELL_PLATFORM_WINDOWS_POSIX_H_
#define TONEWELL_PLATFORM_WINDOWS_POSIX_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <pthread.h>

typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef size_t SIZE_T;
typedef unsigned int UINT;
typedef int BOOL;
typedef int32_t HRESULT;
typedef void* LPVOID;
typedef const char* LPCSTR;
typedef void* HANDLE;

#define WINAPI
#define TRUE 1
#define FALSE 0

struct _GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
typedef _GUID GUID;
typedef _GUID CLSID;
typedef CLSID* LPCLSID;
struct _SECURITY_ATTRIBUTES;
typedef _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);
constexpr HRESULT AVIERR_BADFORMAT = static_cast<HRESULT>(0x80044066u);
constexpr HRESULT AVIERR_MEMORY = static_cast<HRESULT>(0x80044067u);
constexpr HRESULT AVIERR_BADPARAM = static_cast<HRESULT>(0x8004406Au);
constexpr HRESULT AVIERR_BADSIZE = static_cast<HRESULT>(0x8004406Bu);
constexpr HRESULT AVIERR_FILEREAD = static_cast<HRESULT>(0x8004406Du);
constexpr HRESULT AVIERR_FILEOPEN = static_cast<HRESULT>(0x8004406Fu);
constexpr HRESULT AVIERR_NODATA = static_cast<HRESULT>(0x80044073u);
constexpr HRESULT AVIERR_BUFFERTOOSMALL = static_cast<HRESULT>(0x80044074u);

constexpr DWORD streamtypeAUDIO = 0x73647561u;  // 'auds'
constexpr UINT OF_SHARE_DENY_WRITE = 0x20;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 0x102;
constexpr int _O_TEXT = 0x4000;
constexpr int _O_BINARY = 0x8000;
constexpr DWORD MEM_COMMIT = 0x1000;
constexpr DWORD MEM_RESERVE = 0x2000;
constexpr DWORD MEM_RELEASE = 0x8000;
constexpr DWORD PAGE_READWRITE = 0x04;

constexpr WORD WAVE_FORMAT_PCM = 1;
constexpr WORD WAVE_FORMAT_IEEE_FLOAT = 3;
constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is 18 bytes on Windows");

#pragma pack(push, 1)
struct WAVEFORMATEXTENSIBLE {
  WAVEFORMATEX Format;
  union {
    WORD wValidBitsPerSample;
    WORD wSamplesPerBlock;
    WORD wReserved;
  } Samples;
  DWORD dwChannelMask;
  GUID SubFormat;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40, "WAVEFORMATEXTENSIBLE is 40 bytes on Windows");

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

struct AVISTREAMINFOA {
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwFlags;
  DWORD dwCaps;
  WORD wPriority;
  WORD wLanguage;
  DWORD dwScale;
  DWORD dwRate;
  DWORD dwStart;
  DWORD dwLength;
  DWORD dwInitialFrames;
  DWORD dwSuggestedBufferSize;
  DWORD dwQuality;
  DWORD dwSampleSize;
  RECT rcFrame;
  DWORD dwEditCount;
  DWORD dwFormatChangeCount;
  char szName[64];
};
static_assert(sizeof(AVISTREAMINFOA) == 140, "AVISTREAMINFOA is 140 bytes on Windows");

// COM interface identities and the answer for an interface not offered.
typedef GUID IID;
typedef const IID& REFIID;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);

// AVI file layer (avifil32). A file is a COM object whose handler may offer
// further interfaces: a script's answers IAvisynthClipInfo, other files
// answer E_NOINTERFACE, as Wine's WAVE and AVI handlers offer none the
// program asks for. Streams are opaque to callers.
struct IAVIFile {
  HRESULT QueryInterface(REFIID riid, void** ppvObject);
};
struct IAVIStream;
typedef IAVIFile* PAVIFILE;
typedef IAVIStream* PAVISTREAM;

HRESULT AVIFileOpenA(PAVIFILE* ppfile, LPCSTR szFile, UINT uMode, LPCLSID lpHandler);
ULONG AVIFileRelease(PAVIFILE pfile);
HRESULT AVIFileGetStream(PAVIFILE pfile, PAVISTREAM* ppavi, DWORD fccType, LONG lParam);
ULONG AVIStreamRelease(PAVISTREAM pavi);
HRESULT AVIStreamInfoA(PAVISTREAM pavi, AVISTREAMINFOA* psi, LONG lSize);
HRESULT AVIStreamReadFormat(PAVISTREAM pavi, LONG lPos, LPVOID lpFormat, LONG* lpcbFormat);
HRESULT AVIStreamRead(PAVISTREAM pavi, LONG lStart, LONG lSamples, LPVOID lpBuffer, LONG cbBuffer,
                      LONG* plBytes, LONG* plSamples);

// COM runtime (ole32).
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize();

// Shell path utilities (shlwapi).
BOOL PathFileExistsA(LPCSTR pszPath);

// Kernel synchronisation (kernel32).
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName);
BOOL SetEvent(HANDLE hEvent);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL CloseHandle(HANDLE hObject);

// Virtual memory (kernel32).
LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect);
BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType);

// C runtime (msvcrt).
typedef unsigned (*_beginthreadex_proc_type)(void*);
uintptr_t _beginthreadex(void* security, unsigned stack_size,
                         _beginthreadex_proc_type start_address, void* arglist, unsigned initflag,
                         unsigned* thrdaddr);
int _setmode(int fd, int mode);
int _fileno(FILE* stream);

// Wide names (kernel32, shlwapi, avifil32, msvcrt). The Linux layer's system
// code page is Linux's: UTF-8, where each byte that is not part of valid
// UTF-8 is held as the character U+DC80 + (byte - 0x80), so that any name a
// Linux file system holds comes back unchanged. The wide calls open the
// names so spelled.
typedef const wchar_t* LPCWSTR;
typedef wchar_t* LPWSTR;
constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;
constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x400;
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        char* lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        BOOL* lpUsedDefaultChar);
BOOL PathFileExistsW(LPCWSTR pszPath);
// Linux keeps no short (8.3) names: a path is its own.
DWORD GetShortPathNameW(LPCWSTR lpszLongPath, LPWSTR lpszShortPath, DWORD cchBuffer);
HRESULT AVIFileOpenW(PAVIFILE* ppfile, LPCWSTR szFile, UINT uMode, LPCLSID lpHandler);
// Share flags of _wfsopen (share.h): whom the open lets write the file.
constexpr int _SH_DENYWR = 0x20;
constexpr int _SH_DENYNO = 0x40;
FILE* _wfsopen(const wchar_t* filename, const wchar_t* mode, int shflag);

// Console, clock and lock (kernel32). A handle is a console when its
// descriptor is a terminal: its size is the terminal's (80 by 150 when the
// terminal has none, as Wine answers), its cursor is not known (0, 0), and
// text written to it goes out in the Linux layer's code page.
typedef uint64_t ULONGLONG;
typedef int16_t SHORT;
typedef DWORD* LPDWORD;
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
struct COORD {
  SHORT X;
  SHORT Y;
};
struct SMALL_RECT {
  SHORT Left;
  SHORT Top;
  SHORT Right;
  SHORT Bottom;
};
struct CONSOLE_SCREEN_BUFFER_INFO {
  COORD dwSize;
  COORD dwCursorPosition;
  WORD wAttributes;
  SMALL_RECT srWindow;
  COORD dwMaximumWindowSize;
};
static_assert(sizeof(CONSOLE_SCREEN_BUFFER_INFO) == 22, "as the Windows SDK lays it out");
HANDLE GetStdHandle(DWORD nStdHandle);
BOOL GetConsoleMode(HANDLE hConsoleHandle, DWORD* lpMode);
BOOL GetConsoleScreenBufferInfo(HANDLE hConsoleOutput,
                                CONSOLE_SCREEN_BUFFER_INFO* lpConsoleScreenBufferInfo);
// Text to a console, in UTF-16 on Windows; a terminal here gets it in the
// Linux layer's code page (UTF-8, escaped bytes as they were).
BOOL WriteConsoleW(HANDLE hConsoleOutput, const void* lpBuffer, DWORD nNumberOfCharsToWrite,
                   LPDWORD lpNumberOfCharsWritten, LPVOID lpReserved);
ULONGLONG GetTickCount64();
void Sleep(DWORD dwMilliseconds);
struct SRWLOCK {
  pthread_mutex_t mutex;
};
#define SRWLOCK_INIT \
  { PTHREAD_MUTEX_INITIALIZER }
void AcquireSRWLockExclusive(SRWLOCK* SRWLock);
void ReleaseSRWLockExclusive(SRWLOCK* SRWLock);

// Console control (kernel32): the routines run on a thread of their own when
// the user presses Ctrl+C or Ctrl+Break or closes the console; in the
// Linux layer, on SIGINT, SIGTERM and SIGHUP (control-posix.cc).
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD CtrlType);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);

// Which file a name or a handle stands for (kernel32). CreateFileW opens an
// existing file with no access, which only names it, or for reading, which
// is how a caller learns more: sharing nothing (share mode 0), the open
// fails with ERROR_SHARING_VIOLATION while any other open of the file
// exists, as far as Linux can tell (share-posix.cc); a terminal so opened is
// a console.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
struct FILE_ID_128 {
  BYTE Identifier[16];
};
struct FILE_ID_INFO {
  ULONGLONG VolumeSerialNumber;
  FILE_ID_128 FileId;
};
enum FILE_INFO_BY_HANDLE_CLASS { FileIdInfo = 18 };
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL GetFileInformationByHandleEx(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                  LPVOID lpFileInformation, DWORD dwBufferSize);
constexpr DWORD FILE_TYPE_UNKNOWN = 0;
constexpr DWORD FILE_TYPE_DISK = 1;
constexpr DWORD FILE_TYPE_CHAR = 2;
constexpr DWORD FILE_TYPE_PIPE = 3;
DWORD GetFileType(HANDLE hFile);

// Byte-range locks (kernel32), which Windows enforces on every other handle.
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
constexpr DWORD LOCKFILE_FAIL_IMMEDIATELY = 0x1;
constexpr DWORD LOCKFILE_EXCLUSIVE_LOCK = 0x2;
struct OVERLAPPED {
  uintptr_t Internal;
  uintptr_t InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
};
BOOL LockFileEx(HANDLE hFile, DWORD dwFlags, DWORD dwReserved, DWORD nNumberOfBytesToLockLow,
                DWORD nNumberOfBytesToLockHigh, OVERLAPPED* lpOverlapped);
BOOL UnlockFileEx(HANDLE hFile, DWORD dwReserved, DWORD nNumberOfBytesToUnlockLow,
                  DWORD nNumberOfBytesToUnlockHigh, OVERLAPPED* lpOverlapped);

// The process itself (kernel32): GetCurrentProcess answers a pseudo-handle,
// (HANDLE)-1 as on Windows, and TerminateProcess on it ends the process at
// once with the status given, without the C runtime's exit: no atexit
// routines, no flush of the runtime's streams (exit_group).
HANDLE GetCurrentProcess();
BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode);

// Reading and writing a file (kernel32). ReadFile reads from the file position of the
// handle (no overlapped I/O); ReOpenFile opens the file a handle stands for
// anew, with the access asked, from its start; GetFileSizeEx answers a file's
// length. GetFullPathNameW makes a name absolute: Linux has no device names
// such as NUL or COM1, which Windows answers as \\.\NUL.
union LARGE_INTEGER {
  int64_t QuadPart;
};
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, OVERLAPPED* lpOverlapped);
// All of it, short writes retried; nothing allocated, so that a signal
// handler may call it.
BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, OVERLAPPED* lpOverlapped);
HANDLE ReOpenFile(HANDLE hOriginalFile, DWORD dwDesiredAccess, DWORD dwShareMode,
                  DWORD dwFlagsAndAttributes);
BOOL GetFileSizeEx(HANDLE hFile, LARGE_INTEGER* lpFileSize);
DWORD GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                       LPWSTR* lpFilePart);

// Faults (kernel32). A fault (SIGSEGV, SIGBUS, SIGILL, SIGFPE here) goes
// first to the vectored handlers, then to the unhandled-exception filter,
// on the thread that faulted; a filter answering EXCEPTION_CONTINUE_SEARCH,
// or none, leaves the fault to end the process as it would have (a core
// dump). SetThreadStackGuarantee gives the calling thread that much stack of
// its own for them (an alternate signal stack), so that a stack overflow
// can be reported too. The code of a SIGSEGV is always an access
// violation: Linux does not tell an overflow apart.
constexpr DWORD EXCEPTION_ACCESS_VIOLATION = 0xC0000005u;
constexpr DWORD EXCEPTION_IN_PAGE_ERROR = 0xC0000006u;
constexpr DWORD EXCEPTION_ILLEGAL_INSTRUCTION = 0xC000001Du;
constexpr DWORD EXCEPTION_INT_DIVIDE_BY_ZERO = 0xC0000094u;
constexpr DWORD EXCEPTION_STACK_OVERFLOW = 0xC00000FDu;
constexpr LONG EXCEPTION_EXECUTE_HANDLER = 1;
constexpr LONG EXCEPTION_CONTINUE_SEARCH = 0;
constexpr LONG EXCEPTION_CONTINUE_EXECUTION = -1;
struct EXCEPTION_RECORD {
  DWORD ExceptionCode;
  DWORD ExceptionFlags;
  EXCEPTION_RECORD* ExceptionRecord;
  void* ExceptionAddress;
};
struct EXCEPTION_POINTERS {
  EXCEPTION_RECORD* ExceptionRecord;
  void* ContextRecord;
};
typedef LONG(WINAPI* LPTOP_LEVEL_EXCEPTION_FILTER)(EXCEPTION_POINTERS* ExceptionInfo);
typedef LONG(WINAPI* PVECTORED_EXCEPTION_HANDLER)(EXCEPTION_POINTERS* ExceptionInfo);
LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(
    LPTOP_LEVEL_EXCEPTION_FILTER lpTopLevelExceptionFilter);
LPVOID AddVectoredExceptionHandler(ULONG First, PVECTORED_EXCEPTION_HANDLER Handler);
BOOL SetThreadStackGuarantee(ULONG* StackSizeInBytes);

// The process's environment (kernel32): the length of the variable's value
// with its terminating null, which is copied when it fits; 0 when unset.
DWORD GetEnvironmentVariableA(LPCSTR lpName, char* lpBuffer, DWORD nSize);

// The calling thread's last error (kernel32).
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_LOCK_VIOLATION = 33;
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

#endif  // TONEWELL_PLATFORM_WINDOWS_POSIX_H_
