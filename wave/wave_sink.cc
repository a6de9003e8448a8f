#include "wave/wave_sink.h"

#include <cstddef>

namespace {

constexpr char kWriteError[] = "データ書き出し中にエラーが発生しました。再実行してください。\n";

// One header field, its bytes already in file order.
struct HeaderField {
  uint8_t bytes[8];
  size_t size;
};

// Characters as they stand, without the terminating null.
template <size_t N>
HeaderField text(const char (&chars)[N]) {
  static_assert(N - 1 <= sizeof(HeaderField::bytes), "a header field has at most 8 bytes");
  HeaderField field = {{}, N - 1};
  for (size_t i = 0; i < N - 1; ++i) field.bytes[i] = static_cast<uint8_t>(chars[i]);
  return field;
}

// Little-endian whatever the host's byte order.
HeaderField little_endian(uint32_t value, size_t size) {
  HeaderField field = {{}, size};
  for (size_t i = 0; i < size; ++i) field.bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return field;
}

}  // namespace

bool WaveSink::open(const char* output_path) {
  // A destination left over from earlier reported its own failure, if any;
  // the new one starts afresh.
  if (output != nullptr) finish();
  if (output_path != nullptr) {
    output = fopen(output_path, "wb");
    if (output == nullptr) {
      reporter->error("出力ファイルが開けません。パスを確認してください。\n");
      return false;
    }
    reporter->info("出力ファイルを開きました。\n");
  } else {
    output = stdout;
    reporter->info("出力先を標準出力に設定しました。\n");
  }
  written_bytes = 0;

  // The sizes are final before any data is written, so the output is never
  // revisited and may be a pipe.
  const HeaderField fields[] = {
      text("RIFF"),
      little_endian(total_bytes + 36, 4),
      text("WAVEfmt "),
      little_endian(16, 4),
      little_endian(format.wFormatTag, 2),
      little_endian(format.nChannels, 2),
      little_endian(format.nSamplesPerSec, 4),
      little_endian(format.nAvgBytesPerSec, 4),
      little_endian(format.nBlockAlign, 2),
      little_endian(format.wBitsPerSample, 2),
      text("data"),
      little_endian(total_bytes, 4),
  };
  for (const HeaderField& field : fields) {
    if (fwrite(field.bytes, 1, field.size, output) != field.size) {
      reporter->error(kWriteError);
      return false;
    }
  }
  return true;
}

bool WaveSink::finish() {
  if (output == nullptr) return true;
  reporter->info("データ書き出しが終了しました。\n");
  // A stream already in error lost data, but the write that met the error
  // reported it; ending it fails without a second message.
  bool reported = ferror(output) != 0;
  bool is_file = output != stdout;
  // Standard output is never closed; flushing it here catches a write
  // failure while there is still someone to report it.
  bool done = is_file ? fclose(output) == 0 : fflush(output) == 0;
  output = nullptr;
  if (!done && !reported) reporter->error(kWriteError);
  if (is_file) reporter->verbose("出力ファイルを閉じました。\n");
  return done && !reported;
}
