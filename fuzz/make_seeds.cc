// Writes the fuzzers' seed inputs: small WAVE and AVI files of the shapes the
// test suite uses, made by the same writers.
//   make_seeds WAVE_DIR AVI_DIR
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/media_files.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: make_seeds WAVE_DIR AVI_DIR\n");
    return 2;
  }
  const std::string wave_dir = argv[1], avi_dir = argv[2];
  const Bytes stereo16 = pcm_format(2, 44100, 16), mono8 = pcm_format(1, 8000, 8);

  write_wav_file(wave_dir + "/stereo16.wav", stereo16, pattern_bytes(400, 1));
  write_wav_file(wave_dir + "/mono8-odd.wav", mono8, pattern_bytes(37, 2));
  write_wav_file(wave_dir + "/format18.wav", pcm_format(2, 48000, 16, 18), pattern_bytes(64, 3));
  write_wav_file(wave_dir + "/extensible.wav", pcm_format(6, 48000, 24, 40), pattern_bytes(72, 4));
  WavLayout chunks;
  chunks.list_chunk_before_data = chunks.odd_chunk_before_data = true;
  write_wav_file(wave_dir + "/chunks.wav", stereo16, pattern_bytes(42, 5), chunks);
  write_wav_file(wave_dir + "/empty.wav", stereo16, Bytes());
  WavLayout rf64;
  rf64.rf64 = true;
  write_wav_file(wave_dir + "/rf64.wav", stereo16, pattern_bytes(400, 9), rf64);
  write_wav_file(wave_dir + "/rf64-extensible.wav", pcm_format(6, 48000, 24, 40),
                 pattern_bytes(90, 10), rf64);

  AviTrack audio;
  audio.format = stereo16;
  audio.data = pattern_bytes(600, 6);
  audio.chunk_size = 100;
  AviTrack odd;
  odd.format = mono8;
  odd.data = pattern_bytes(51, 7);
  odd.chunk_size = 17;
  AviTrack video;
  video.video = true;
  video.format = Bytes(40, 0);
  video.data = pattern_bytes(90, 8);
  video.chunk_size = 30;
  AviLayout no_index;
  no_index.with_index = false;
  write_avi_file(avi_dir + "/indexed.avi", {audio});
  write_avi_file(avi_dir + "/no-index.avi", {audio}, no_index);
  write_avi_file(avi_dir + "/video-two-audio.avi", {video, audio, odd});
  write_avi_file(avi_dir + "/video-two-audio-no-index.avi", {video, odd, audio}, no_index);
  return 0;
}
