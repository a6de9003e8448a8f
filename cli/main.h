// The program's entry: command line, usage text and the run's order of steps.
#ifndef TONEWELL_CLI_MAIN_H_
#define TONEWELL_CLI_MAIN_H_

#include <cstdint>

// Paths twice: as messages print them, in the system code page's spelling,
// and wide, as the platform opens them (UTF-16 on Windows: any file name).
struct RunSettings {
  const char* input_path = nullptr;
  const char* output_path = nullptr;  // null: derived from the input, or stdout
  const wchar_t* wide_input_path = nullptr;
  const wchar_t* wide_output_path = nullptr;
  bool data_to_stdout = false;
  int32_t level = 1;
  int32_t stream_number = 0;
  bool extensible = false;  // WAVE_FORMAT_EXTENSIBLE for multichannel and high-depth PCM
};

// The name the program calls itself: tonewell64 or tonewell32.
const char* program_name();

// False when the text did not get out whole.
bool print_usage();

// Reads the command line into `settings`: `argv` spelled in the system code
// page, `wide_argv` the same arguments wide. False when the run ends here:
// the usage text, the version or a command-line error has been printed and `exit_status`
// says how to end.
bool parse_command_line(int argc, char** argv, wchar_t** wide_argv, RunSettings* settings,
                        int* exit_status);

// The whole run, from the arguments as wide strings; returns the process
// exit status.
int tonewell_main(int argc, wchar_t** wide_argv);

#endif  // TONEWELL_CLI_MAIN_H_
