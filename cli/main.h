// The program's entry: command line, usage text and the run's order of steps.
#ifndef TONEWELL_CLI_MAIN_H_
#define TONEWELL_CLI_MAIN_H_

#include <cstdint>

struct RunSettings {
  const char* input_path = nullptr;
  const char* output_path = nullptr;  // null: derived from the input, or stdout
  bool data_to_stdout = false;
  int32_t level = 1;
  int32_t stream_number = 0;
  bool extensible = false;  // WAVE_FORMAT_EXTENSIBLE for multichannel and high-depth PCM
};

// The name the program calls itself: tonewell64 or tonewell32.
const char* program_name();

void print_usage();

// Reads the command line into `settings`. False when the run ends here: the
// usage text or a command-line error has been printed and `exit_status`
// says how to end.
bool parse_command_line(int argc, char** argv, RunSettings* settings, int* exit_status);

// The whole run; returns the process exit status.
int tonewell_main(int argc, char** argv);

#endif  // TONEWELL_CLI_MAIN_H_
