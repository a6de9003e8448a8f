// An AviSynth C plugin, for tests only: TonewellPattern() makes an
// audio-only clip whose byte k is ((k mod 65521) × 31 + k ÷ 65521) mod 256,
// the test source handler's stream 0, so a suite knows every byte of a
// script's audio without a file. It can also fail a read with a message of
// the test's choosing, wait a while in every read, or hold each read until
// the test lets it through by creating a gate file, which the read takes away.
// It crashes where asked, as third-party plugins do: TonewellCrash() as the
// script is evaluated, crash_at in the read of that sample.
//
//   LoadPlugin("tonewell_avs_pattern.dll")
//   TonewellPattern(channels=2, rate=48000, sample_type="16bit", samples=48000,
//                   channel_mask=0x3F, fail_at=-1, fail_message="...",
//                   delay_ms=0, gate="", gate_at=0, crash_at=-1)
//   TonewellCrash()
//
// The AviSynth API is looked up in the library that loads the plugin, so the
// plugin links against nothing of AviSynth's and builds without it.
#ifdef _WIN32
#include <windows.h>  // before the header: its dynamic loader needs LoadLibraryA

#ifndef _WIN64
#define AVSC_WIN32_GCC32  // a GCC build of AviSynth+ has a cdecl C API
#endif
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#define AVSC_NO_DECLSPEC  // the API as function pointer types, resolved below
#include <avisynth_c.h>

#include "tests/support/pattern.h"

namespace {

// The API calls the plugin makes, resolved when the plugin is loaded.
struct Api {
  avs_add_function_func add_function;
  avs_new_c_filter_func new_c_filter;
  avs_set_to_clip_func set_to_clip;
  avs_release_clip_func release_clip;
  avs_save_string_func save_string;
  avs_set_channel_mask_func set_channel_mask;
};
Api g_api;

void* find_api(const char* name) {
#ifdef _WIN32
  HMODULE avisynth = GetModuleHandleA("AviSynth.dll");
  return avisynth ? reinterpret_cast<void*>(GetProcAddress(avisynth, name)) : nullptr;
#else
  // The library is already loaded, by whatever name; RTLD_NOLOAD finds it
  // by file, without loading a second copy.
  void* avisynth = dlopen("libavisynth.so", RTLD_LAZY | RTLD_NOLOAD);
  return dlsym(avisynth ? avisynth : RTLD_DEFAULT, name);
#endif
}

template <typename F>
bool resolve(F* function, const char* name) {
  *function = reinterpret_cast<F>(find_api(name));
  return *function != nullptr;
}

bool resolve_api() {
  return resolve(&g_api.add_function, "avs_add_function") &&
         resolve(&g_api.new_c_filter, "avs_new_c_filter") &&
         resolve(&g_api.set_to_clip, "avs_set_to_clip") &&
         resolve(&g_api.release_clip, "avs_release_clip") &&
         resolve(&g_api.save_string, "avs_save_string") &&
         resolve(&g_api.set_channel_mask, "avs_set_channel_mask");
}

void sleep_ms(int ms) {
#ifdef _WIN32
  Sleep(ms);
#else
  usleep(ms * 1000);
#endif
}

// Removes the file at `path`; false if there was none.
bool take_file(const char* path) {
#ifdef _WIN32
  return DeleteFileA(path);
#else
  return unlink(path) == 0;
#endif
}

// What a clip does besides its data; kept in the filter's user_data.
struct Behaviour {
  int64_t fail_at = -1;                // a read that covers this sample fails
  const char* fail_message = nullptr;  // in the environment's string store
  int delay_ms = 0;                    // waited in every read
  std::string gate;                    // each read past gate_at waits for this file and takes it
  int64_t gate_at = 0;
  int64_t crash_at = -1;  // a read that covers this sample crashes
};

// A write through a null pointer, the commonest crash there is.
void crash() { *static_cast<volatile int*>(nullptr) = 1; }

bool covers(int64_t start, int64_t count, int64_t sample) {
  return sample >= 0 && start <= sample && sample < start + count;
}

int AVSC_CC get_audio(AVS_FilterInfo* fi, void* buf, int64_t start, int64_t count) {
  const Behaviour& behaviour = *static_cast<Behaviour*>(fi->user_data);
  if (!behaviour.gate.empty() && start + count > behaviour.gate_at) {
    while (!take_file(behaviour.gate.c_str())) sleep_ms(10);
  }
  if (behaviour.delay_ms > 0) sleep_ms(behaviour.delay_ms);
  if (covers(start, count, behaviour.crash_at)) crash();
  if (covers(start, count, behaviour.fail_at)) {
    fi->error = behaviour.fail_message;
    return -1;
  }
  int64_t block = avs_bytes_per_audio_sample(&fi->vi);
  fill_pattern(static_cast<uint8_t*>(buf), static_cast<uint64_t>(start * block),
               static_cast<uint64_t>(count * block), 0);
  return 0;
}

AVS_VideoFrame* AVSC_CC get_frame(AVS_FilterInfo* fi, int) {
  fi->error = "TonewellPattern has no video";
  return nullptr;
}

int AVSC_CC get_parity(AVS_FilterInfo*, int) { return 0; }

int AVSC_CC set_cache_hints(AVS_FilterInfo*, int, int) { return 0; }

void AVSC_CC free_filter(AVS_FilterInfo* fi) { delete static_cast<Behaviour*>(fi->user_data); }

struct SampleType {
  const char* name;
  int type;
};
const SampleType kSampleTypes[] = {{"8bit", AVS_SAMPLE_INT8},
                                   {"16bit", AVS_SAMPLE_INT16},
                                   {"24bit", AVS_SAMPLE_INT24},
                                   {"32bit", AVS_SAMPLE_INT32},
                                   {"float", AVS_SAMPLE_FLOAT}};

// The arguments, in the order of kParameters.
enum {
  kChannels,
  kRate,
  kType,
  kSamples,
  kMask,
  kFailAt,
  kFailMessage,
  kDelay,
  kGate,
  kGateAt,
  kCrashAt
};
constexpr char kParameters[] =
    "[channels]i[rate]i[sample_type]s[samples]i[channel_mask]i[fail_at]i[fail_message]s"
    "[delay_ms]i[gate]s[gate_at]i[crash_at]i";

int64_t long_arg(AVS_Value args, int index, int64_t fallback) {
  AVS_Value v = avs_array_elt(args, index);
  return avs_defined(v) ? avs_as_long(v) : fallback;
}

const char* string_arg(AVS_Value args, int index, const char* fallback) {
  AVS_Value v = avs_array_elt(args, index);
  return avs_defined(v) ? avs_as_string(v) : fallback;
}

AVS_Value AVSC_CC create(AVS_ScriptEnvironment* env, AVS_Value args, void*) {
  int64_t channels = long_arg(args, kChannels, 2);
  int64_t rate = long_arg(args, kRate, 48000);
  int64_t samples = long_arg(args, kSamples, 48000);
  const char* type_name = string_arg(args, kType, "16bit");
  const SampleType* type =
      std::find_if(std::begin(kSampleTypes), std::end(kSampleTypes),
                   [&](const SampleType& t) { return !strcmp(t.name, type_name); });
  if (type == std::end(kSampleTypes))
    return avs_new_value_error(
        "TonewellPattern: sample_type is 8bit, 16bit, 24bit, 32bit or float");
  if (channels < 1 || channels > 65535 || rate < 1 || rate > INT32_MAX || samples < 0)
    return avs_new_value_error("TonewellPattern: channels, rate or samples out of range");

  AVS_Value none = avs_void;
  AVS_FilterInfo* fi = nullptr;
  AVS_Clip* clip = g_api.new_c_filter(env, &fi, none, 0);
  memset(&fi->vi, 0, sizeof fi->vi);
  fi->vi.fps_numerator = 25;  // no video, but AviSynth derives frame counts from the rate
  fi->vi.fps_denominator = 1;
  fi->vi.num_frames = static_cast<int>(std::min<int64_t>(INT32_MAX, samples * 25 / rate + 1));
  fi->vi.audio_samples_per_second = static_cast<int>(rate);
  fi->vi.sample_type = type->type;
  fi->vi.nchannels = static_cast<int>(channels);
  fi->vi.num_audio_samples = samples;
  AVS_Value mask = avs_array_elt(args, kMask);
  if (avs_defined(mask))
    g_api.set_channel_mask(&fi->vi, true, static_cast<unsigned>(avs_as_long(mask)));

  auto* behaviour = new Behaviour;
  behaviour->fail_at = long_arg(args, kFailAt, -1);
  std::string fallback =
      "TonewellPattern: the read of sample " + std::to_string(behaviour->fail_at) + " failed";
  // The message must outlive the filter: AviSynth keeps it for GetError.
  behaviour->fail_message =
      g_api.save_string(env, string_arg(args, kFailMessage, fallback.c_str()), -1);
  behaviour->delay_ms = static_cast<int>(long_arg(args, kDelay, 0));
  behaviour->gate = string_arg(args, kGate, "");
  behaviour->gate_at = long_arg(args, kGateAt, 0);
  behaviour->crash_at = long_arg(args, kCrashAt, -1);
  fi->user_data = behaviour;
  fi->get_audio = get_audio;
  fi->get_frame = get_frame;
  fi->get_parity = get_parity;
  fi->set_cache_hints = set_cache_hints;
  fi->free_filter = free_filter;

  AVS_Value result;
  g_api.set_to_clip(&result, clip);
  g_api.release_clip(clip);
  return result;
}

AVS_Value AVSC_CC crash_now(AVS_ScriptEnvironment*, AVS_Value, void*) {
  crash();
  return avs_void;
}

}  // namespace

const char* AVSC_CC avisynth_c_plugin_init(AVS_ScriptEnvironment* env) {
  if (!resolve_api()) return "TonewellPattern: AviSynth's C API was not found";
  g_api.add_function(env, "TonewellPattern", kParameters, create, nullptr);
  g_api.add_function(env, "TonewellCrash", "", crash_now, nullptr);
  return "TonewellPattern: a known audio pattern, for tests";
}

// The entry of plugins that take 64-bit integers (samples past 2^31).
const char* AVSC_CC avisynth_c_plugin_init2(AVS_ScriptEnvironment* env) {
  return avisynth_c_plugin_init(env);
}
