#include "cli/main.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "input/input_file.h"
#include "platform/platform.h"
#include "report/console_text.h"
#include "report/crash_report.h"
#include "report/interruption.h"
#include "report/messages.h"
#include "report/progress_line.h"
#include "report/reporter.h"

namespace {

// Exit statuses. Any failure after the command line was accepted ends with
// kExitFailure too, so that scripts and pipelines can rely on the status.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

enum Option {
  kHelp,
  kQuit,
  kVerbose,
  kDebug,
  kStreamNumber,
  kExtensible,
  kVersion,
  kOptionCount
};

// In dispatch order: the first entry that matches wins, so "-v" is
// --verbose and --version has no short form.
const char* const kLongNames[kOptionCount] = {
    "help", "quit", "verbose", "debug", "stream-number", "extensible", "version"};

// "--name" matches the whole long name; "-x" matches when x is its initial.
int find_option(const char* arg) {
  for (int i = 0; i < kOptionCount; ++i) {
    bool long_form = arg[1] == '-' && strcmp(arg + 2, kLongNames[i]) == 0;
    bool short_form = strlen(arg) == 2 && arg[1] == kLongNames[i][0];
    if (long_form || short_form) return i;
  }
  return -1;
}

// strtol as the command line reads numbers; a value beyond 32 bits is held
// at the nearest end, as on a platform whose long has 32 bits.
int32_t parse_stream_number(const char* text) {
  long value = strtol(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool fail(int* exit_status, const char* format, const char* arg = "") {
  print_text(stderr, format, arg);
  *exit_status = kExitFailure;
  return false;
}

// The exit status of an answer printed on standard output (the usage text,
// the version): a request whose answer was lost did not succeed, and says so.
int answer_status(bool printed, const char* lost) {
  if (printed && fflush(stdout) == 0 && !ferror(stdout)) return kExitSuccess;
  print_text(stderr, lost);
  return kExitFailure;
}

int usage_status() { return answer_status(print_usage(), kUsageLost); }

// `text` as the system code page spells it, which is how the console shows
// file names and how options are read; a character it has no spelling for
// comes out as the platform substitutes it ("?").
std::string code_page_spelling(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string spelled(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, spelled.data(), size, nullptr, nullptr);
  spelled.pop_back();  // the terminating null came along
  return spelled;
}

// The volume and file id of the file `handle` is open on, as the platform
// identifies files; false for no file (a pipe, a console, no handle).
bool file_identity(HANDLE handle, FILE_ID_INFO* identity) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         GetFileInformationByHandleEx(handle, FileIdInfo, identity, sizeof *identity);
}

// The identity of the file `path` names, if it exists.
bool path_identity(const wchar_t* path, FILE_ID_INFO* identity) {
  HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool known = file_identity(file, identity);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return known;
}

// A volume of 0 is one the platform could not tell (Wine's, for standard
// handles inherited from a Unix shell); the file ids decide then.
bool same_file(const FILE_ID_INFO& a, const FILE_ID_INFO& b) {
  const bool same_volume = a.VolumeSerialNumber == b.VolumeSerialNumber ||
                           a.VolumeSerialNumber == 0 || b.VolumeSerialNumber == 0;
  return same_volume && memcmp(&a.FileId, &b.FileId, sizeof a.FileId) == 0;
}

// What a standard stream is open on, as far as the run's own files go.
enum class StreamPlace { kElsewhere, kInput, kOutput };

// The shell may have opened a file the run reads or writes as a standard
// stream (`- >> in.wav`, `out.wav 2> out.wav`): nothing printed may land
// there. With the data on standard output, standard output is the output,
// and so is standard error where it is open on the same file.
StreamPlace place_of(DWORD standard_handle, const RunSettings& settings) {
  const bool is_stdout = standard_handle == STD_OUTPUT_HANDLE;
  FILE_ID_INFO stream, file;
  if (!file_identity(GetStdHandle(standard_handle), &stream))
    return is_stdout && settings.data_to_stdout ? StreamPlace::kOutput : StreamPlace::kElsewhere;
  if (path_identity(settings.wide_input_path, &file) && same_file(stream, file))
    return StreamPlace::kInput;
  if (is_stdout && settings.data_to_stdout) return StreamPlace::kOutput;
  const bool output_known = settings.data_to_stdout
                                ? file_identity(GetStdHandle(STD_OUTPUT_HANDLE), &file)
                                : path_identity(settings.wide_output_path, &file);
  return output_known && same_file(stream, file) ? StreamPlace::kOutput : StreamPlace::kElsewhere;
}

// Whether the named or derived output is the input file under another
// spelling (`./movie.avs`, `Z:\clips\movie.avs`, a hard link).
bool output_names_input(const RunSettings& settings) {
  FILE_ID_INFO input, output;
  return !settings.data_to_stdout && path_identity(settings.wide_input_path, &input) &&
         path_identity(settings.wide_output_path, &output) && same_file(input, output);
}

void report_settings(const Reporter& reporter, const RunSettings& settings) {
  reporter.verbose(kSettingInput, settings.input_path);
  if (settings.data_to_stdout)
    reporter.verbose(kSettingOutputToStdout);
  else
    reporter.verbose(kSettingOutput, settings.output_path);
  reporter.verbose(kSettingStreamNumber, static_cast<int>(settings.stream_number));
}

// COM brackets every use of the AVI file layer; the input file is released
// before COM goes away. An interrupt ends the run as a failure, after the
// same teardown.
bool convert(const RunSettings& settings, const Destination& destination,
             const Reporter& reporter) {
  if (CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) != S_OK) {
    reporter.error(kComInitFailed);
    return false;
  }
  catch_interrupts(&reporter);
  bool converted = false;
  {
    InputFile input(&reporter);
    // A script's handler may take long to open it.
    if (input.open(settings.wide_input_path)) {
      if (interruption.requested)
        interruption.report(&reporter);
      else
        converted = input.convert_stream(settings.stream_number, destination, settings.extensible);
    }
    input.close();
  }
  CoUninitialize();
  release_interrupts();
  // An interrupt that came as the run ended fails it all the same.
  if (converted && interruption.requested) {
    interruption.report(&reporter);
    return false;
  }
  return converted;
}

}  // namespace

const char* program_name() { return sizeof(void*) == 8 ? "tonewell64" : "tonewell32"; }

bool print_usage() {
  const char* const name = program_name();
  return print_text(stdout, kUsage, name, name);
}

bool parse_command_line(int argc, char** argv, wchar_t** wide_argv, RunSettings* settings,
                        int* exit_status) {
  if (argc <= 1) {
    *exit_status = usage_status();
    return false;
  }
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (strcmp(arg, "-") == 0) {
      if (!settings->input_path || settings->output_path)
        return fail(exit_status, kDashAfterOutput);
      settings->data_to_stdout = true;
    } else if (arg[0] == '-') {
      switch (find_option(arg)) {
        case kHelp:
          *exit_status = usage_status();
          return false;
        case kQuit:
          if (settings->level == kLevelNormal) settings->level = kLevelQuiet;
          break;
        case kVerbose:
          if (settings->level < kLevelVerbose) settings->level = kLevelVerbose;
          break;
        case kDebug:
          settings->level = kLevelDebug;
          break;
        case kStreamNumber:
          if (i + 1 >= argc) return fail(exit_status, kStreamNumberMissing);
          settings->stream_number = parse_stream_number(argv[++i]);
          break;
        case kExtensible:
          settings->extensible = true;
          break;
        case kVersion:
          *exit_status = answer_status(print_text(stdout, kVersionLine, program_name()),
                                       kVersionLost);
          return false;
        default:
          return fail(exit_status, kUnknownOption, arg);
      }
    } else if (!settings->input_path) {
      settings->input_path = arg;
      settings->wide_input_path = wide_argv[i];
    } else if (settings->data_to_stdout || settings->output_path) {
      return fail(exit_status, kTooManyArguments, arg);
    } else {
      settings->output_path = arg;
      settings->wide_output_path = wide_argv[i];
    }
  }
  if (!settings->input_path) return fail(exit_status, kInputNotNamed);
  if (!PathFileExistsW(settings->wide_input_path)) return fail(exit_status, kInputNotFound);
  return true;
}

int tonewell_main(int argc, wchar_t** wide_argv) {
  std::vector<std::string> spelled(argc);
  std::vector<char*> argv;
  for (int i = 0; i < argc; ++i) {
    spelled[i] = code_page_spelling(wide_argv[i]);
    argv.push_back(spelled[i].data());
  }
  RunSettings settings;
  int exit_status = kExitSuccess;
  if (!parse_command_line(argc, argv.data(), wide_argv, &settings, &exit_status))
    return exit_status;

  // The input's own extension stays: "song.avs" becomes "song.avs.wav".
  std::string derived_output;
  std::wstring wide_derived_output;
  if (settings.data_to_stdout) {
    _setmode(_fileno(stdout), _O_BINARY);  // no byte of the WAVE data may be translated
  } else if (!settings.output_path) {
    derived_output = std::string(settings.input_path) + ".wav";
    wide_derived_output = std::wstring(settings.wide_input_path) + L".wav";
    settings.output_path = derived_output.c_str();
    settings.wide_output_path = wide_derived_output.c_str();
  }

  const StreamPlace out = place_of(STD_OUTPUT_HANDLE, settings);
  const StreamPlace err = place_of(STD_ERROR_HANDLE, settings);
  ProgressLine progress_line;
  Reporter reporter{settings.level, !settings.data_to_stdout};
  reporter.stdout_taken = out != StreamPlace::kElsewhere;
  reporter.stderr_taken = err != StreamPlace::kElsewhere;
  if (progress_wanted(settings.level)) reporter.progress_line = &progress_line;
  report_crashes(reporter);
  report_settings(reporter, settings);
  // A standard stream open on the input would overwrite or grow the very
  // file being read, with data or with messages.
  if (out == StreamPlace::kInput || err == StreamPlace::kInput) {
    reporter.error(kOutputRefused);
    return kExitFailure;
  }
  // WAVE bytes on a console are of no use to anyone and can upset it.
  DWORD console_mode;
  if (settings.data_to_stdout && GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &console_mode)) {
    reporter.error(kStdoutIsConsole);
    return kExitFailure;
  }
  const Destination destination{settings.data_to_stdout ? nullptr : settings.wide_output_path,
                                out == StreamPlace::kOutput || err == StreamPlace::kOutput,
                                output_names_input(settings)};
  const bool converted = convert(settings, destination, reporter);
  // A writer left inside its write still holds the data's stream.
  if (interruption.writer_left_behind) end_process_now(&reporter);
  return converted ? kExitSuccess : kExitFailure;
}
