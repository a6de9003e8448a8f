// The Linux layer's handler for AviSynth scripts: AviSynth+'s own library,
// loaded when a script is first opened, through its C API (as
// other programs load it), so that the program needs it neither to build
// nor to run. The stream is the one AviSynth's AVI file handler presents on
// Windows (its facts, format, reads and errors), so that a script gives the
// same WAVE file on both. Its video stream, which the program never asks
// for, is left out.
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/handlers-posix.h"

namespace posix {
namespace {

// ---- The part of AviSynth+'s C API the handler calls ----

struct AvsEnvironment;
struct AvsClip;

// A script value. The payload is one pointer wide, as the library's: 64-bit
// numbers are held in it on 64-bit builds and behind a pointer on 32-bit
// ones, and the library's own getters read them.
struct AvsValue {
  // 'c'lip, 'b'ool, 'i'nt, 'l'ong, 'f'loat, 'd'ouble, 's'tring, 'a'rray, 'v'oid, 'e'rror
  short type;
  short array_size;
  union {
    const void* pointer;  // a clip, string or array
    char boolean;
  } d;
};

struct AvsVideoInfo {
  int width, height;
  unsigned fps_numerator, fps_denominator;
  int num_frames;
  int pixel_type;
  int audio_samples_per_second;  // 0: no audio
  int sample_type;               // one of the kSample bits
  int64_t num_audio_samples;
  int nchannels;
  int image_type;  // holds the channel mask, read through the library
};

constexpr int kSampleInt8 = 1, kSampleInt16 = 2, kSampleInt24 = 4, kSampleInt32 = 8,
              kSampleFloat = 16;
constexpr int kCacheSetMinCapacity = 502, kCacheSetMaxCapacity = 503;
// The interface whose script environment AviSynth's AVI file handler makes,
// and whose value getters tell a library new enough to make it.
constexpr int kInterfaceVersion = 11;

struct AvsApi {
  AvsEnvironment* (*create_script_environment)(int version);
  void (*delete_script_environment)(AvsEnvironment* env);
  const char* (*get_error)(AvsEnvironment* env);
  AvsValue (*invoke)(AvsEnvironment* env, const char* name, AvsValue args, const char** names);
  void (*release_value)(AvsValue value);
  AvsClip* (*take_clip)(AvsValue value, AvsEnvironment* env);
  void (*release_clip)(AvsClip* clip);
  const AvsVideoInfo* (*get_video_info)(AvsClip* clip);
  int (*get_audio)(AvsClip* clip, void* buffer, int64_t start, int64_t count);
  const char* (*clip_get_error)(AvsClip* clip);
  int (*set_cache_hints)(AvsClip* clip, int hints, int value);
  int (*get_var_bool)(AvsEnvironment* env, const char* name, int fallback);
  int (*get_var_int)(AvsEnvironment* env, const char* name, int fallback);
  bool (*is_channel_mask_known)(const AvsVideoInfo* vi);
  unsigned (*get_channel_mask)(const AvsVideoInfo* vi);
  int (*get_as_bool)(AvsValue value);
  int (*get_as_int)(AvsValue value);
  double (*get_as_float)(AvsValue value);
  const char* (*get_as_string)(AvsValue value);
};

template <typename Function>
bool bind(void* library, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(dlsym(library, name));
  return *function != nullptr;
}

// The names the library is looked for by: its soname, which a
// distribution's runtime package provides, then the name of the link that
// a build installs beside it.
constexpr const char* kLibraryNames[] = {"libavisynth.so.11", "libavisynth.so"};

// The library's entries, or null where it is not installed (or lacks any of
// them, being older than interface 11), as on a machine without AviSynth.
// Loaded once and kept for the life of the process.
const AvsApi* load_avisynth() {
  void* library = nullptr;
  for (const char* name : kLibraryNames) {
    if (library == nullptr) library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  }
  if (!library) return nullptr;
  static AvsApi api;
  const bool complete =
      bind(library, "avs_create_script_environment", &api.create_script_environment) &&
      bind(library, "avs_delete_script_environment", &api.delete_script_environment) &&
      bind(library, "avs_get_error", &api.get_error) && bind(library, "avs_invoke", &api.invoke) &&
      bind(library, "avs_release_value", &api.release_value) &&
      bind(library, "avs_take_clip", &api.take_clip) &&
      bind(library, "avs_release_clip", &api.release_clip) &&
      bind(library, "avs_get_video_info", &api.get_video_info) &&
      bind(library, "avs_get_audio", &api.get_audio) &&
      bind(library, "avs_clip_get_error", &api.clip_get_error) &&
      bind(library, "avs_set_cache_hints", &api.set_cache_hints) &&
      bind(library, "avs_get_var_bool", &api.get_var_bool) &&
      bind(library, "avs_get_var_int", &api.get_var_int) &&
      bind(library, "avs_is_channel_mask_known", &api.is_channel_mask_known) &&
      bind(library, "avs_get_channel_mask", &api.get_channel_mask) &&
      bind(library, "avs_get_as_bool", &api.get_as_bool) &&
      bind(library, "avs_get_as_int", &api.get_as_int) &&
      bind(library, "avs_get_as_float", &api.get_as_float) &&
      bind(library, "avs_get_as_string", &api.get_as_string);
  if (!complete) {
    dlclose(library);
    return nullptr;
  }
  return &api;
}

const AvsApi* avisynth() {
  static const AvsApi* const api = load_avisynth();
  return api;
}

AvsValue string_value(const char* s) {
  AvsValue v{'s', 0, {}};
  v.d.pointer = s;
  return v;
}

AvsValue bool_value(bool b) {
  AvsValue v{'b', 0, {}};
  v.d.boolean = b;
  return v;
}

int bytes_per_channel_sample(const AvsVideoInfo& vi) {
  switch (vi.sample_type) {
    case kSampleInt8:
      return 1;
    case kSampleInt16:
      return 2;
    case kSampleInt24:
      return 3;
    case kSampleInt32:
    case kSampleFloat:
      return 4;
    default:
      return 0;
  }
}

int bytes_per_sample(const AvsVideoInfo& vi) { return vi.nchannels * bytes_per_channel_sample(vi); }

// The channel mask of an extensible format for a clip whose mask is not
// known, as AviSynth's handler gives it: the usual layout of its channel
// count (ffmpeg's, as AviSynth+ 3.7.3 and later take it), every speaker up
// to 18 channels, and "all" beyond. The program's own -e rule is another
// table (extensible_channel_mask in wave/wave_sink.cc): this one follows
// AviSynth+, whatever that rule says.
DWORD avisynth_channel_mask(int channels) {
  static const DWORD kLayouts[] = {0, 0x4, 0x3, 0xB, 0x107, 0x37, 0x3F, 0x70F, 0x63F};
  const unsigned n = unsigned(channels);
  if (n <= 8) return kLayouts[n];
  if (n <= 18) return 0xFFFFFFFFu >> (32 - n);
  return 0x80000000u;  // SPEAKER_ALL
}

}  // namespace

struct Script {
  const AvsApi* avs = nullptr;
  AvsEnvironment* env = nullptr;
  AvsClip* clip = nullptr;           // the script's audio; null when the script failed
  const AvsVideoInfo* vi = nullptr;  // the clip's, while it lives
  bool unusable = false;             // no clip to show even the error: streams fail
  bool failed = false;               // the script or a read failed, with `error`
  std::string error;

  ~Script() {
    if (clip) avs->release_clip(clip);
    if (env) avs->delete_script_environment(env);
  }

  void fail(const char* text) {
    failed = true;
    error = text ? text : "";
  }

  // The value of `filter` applied to the clip in `*value`, which it replaces;
  // false, with the script's error, when that failed.
  bool apply(const char* filter, AvsValue* value) {
    AvsValue result = avs->invoke(env, filter, *value, nullptr);
    avs->release_value(*value);
    *value = result;
    if (const char* text = avs->get_error(env)) {
      fail(text);
      return false;
    }
    return true;
  }

  void import(const char* path);
  void refuse(const AvsValue& value);
};

// A script whose value is not a clip fails with these words.
void Script::refuse(const AvsValue& v) {
  char text[512];
  const char* head = "The script's return value was not a video clip";
  switch (v.type) {
    case 'b':
      snprintf(text, sizeof text, "%s, (Is a bool, %s).", head,
               avs->get_as_bool(v) ? "True" : "False");
      break;
    case 'i':
    case 'l':
      snprintf(text, sizeof text, "%s, (Is an int, %d).", head, avs->get_as_int(v));
      break;
    case 'f':
    case 'd':
      snprintf(text, sizeof text, "%s, (Is a float, %f).", head, avs->get_as_float(v));
      break;
    case 's':
      // The string in full: it may be longer than any fixed buffer.
      fail((std::string(head) + ", (Is a string, " + avs->get_as_string(v) + ").").c_str());
      return;
    case 'a':
      snprintf(text, sizeof text, "%s, (Is an array[%d]).", head, int(v.array_size));
      break;
    case 'v':
      snprintf(text, sizeof text, "%s, (Is the undefined value).", head);
      break;
    default:
      snprintf(text, sizeof text, "%s, (The type is unknown).", head);
      break;
  }
  fail(text);
}

// Imports the script as AviSynth's AVI file handler does: its value must be
// a clip; float audio becomes 16-bit unless the script allows float output;
// a cache tuned for reading straight through goes on top.
void Script::import(const char* path) {
  env = avs->create_script_environment(kInterfaceVersion);
  if (const char* text = avs->get_error(env)) {
    fail(text);
    unusable = true;
    return;
  }
  AvsValue args[2] = {string_value(path), bool_value(true)};  // the name is UTF-8
  AvsValue value{'a', 2, {}};
  value.d.pointer = args;
  value = avs->invoke(env, "Import", value, nullptr);
  if (const char* text = avs->get_error(env)) {
    fail(text);
    avs->release_value(value);
    return;
  }
  if (value.type != 'c') {
    refuse(value);
    avs->release_value(value);
    return;
  }
  AvsClip* imported = avs->take_clip(value, env);
  const bool float_audio = avs->get_video_info(imported)->sample_type & kSampleFloat;
  avs->release_clip(imported);
  const bool float_allowed = avs->get_var_bool(env, "OPT_AllowFloatAudio", false);
  if ((float_audio && !float_allowed && !apply("ConvertAudioTo16bit", &value)) ||
      !apply("Cache", &value)) {
    avs->release_value(value);
    return;
  }
  clip = avs->take_clip(value, env);
  avs->release_value(value);
  avs->set_cache_hints(clip, kCacheSetMinCapacity, 0);
  avs->set_cache_hints(clip, kCacheSetMaxCapacity, 0);
  vi = avs->get_video_info(clip);
}

namespace {

HRESULT open_script(const char* path, Script** opened) {
  const AvsApi* avs = avisynth();
  if (!avs) return REGDB_E_CLASSNOTREG;
  Script* script = new Script;
  script->avs = avs;
  try {
    script->import(path);
  } catch (...) {
    // Escaped from the library, as from no script error: AviSynth's handler
    // then has nothing to show.
    script->fail("Avisynth: script open failed!");
    script->unusable = true;
  }
  *opened = script;
  return S_OK;
}

void close_script(Script* script) { delete script; }

int script_error(const Script* script, const char** message) {
  *message = script->failed ? script->error.c_str() : nullptr;
  return script->failed;
}

// One audio stream: a negative number finds it too, as AviSynth reads the
// number. A script that failed shows its error as video only.
HRESULT find_stream(const Script* script, DWORD type, LONG number) {
  if (script->unusable) return E_FAIL;
  if (number > 0 || type != streamtypeAUDIO) return AVIERR_NODATA;
  if (!script->clip || script->vi->audio_samples_per_second == 0) return AVIERR_NODATA;
  return S_OK;
}

void stream_info(const Script* script, AVISTREAMINFOA* info) {
  const AvsVideoInfo& vi = *script->vi;
  const DWORD block = DWORD(bytes_per_sample(vi));
  std::memset(info, 0, sizeof *info);
  info->fccType = streamtypeAUDIO;
  info->dwQuality = 0xFFFFFFFFu;
  info->dwScale = block;
  info->dwRate = DWORD(vi.audio_samples_per_second) * block;
  info->dwLength = DWORD(vi.num_audio_samples);  // the count cut to 32 bits
  info->dwSampleSize = block;
  std::strcpy(info->szName, "Avisynth audio #1");
}

// A WAVEFORMATEX, or a WAVEFORMATEXTENSIBLE where the clip's channel mask is
// known or the script asks for one (OPT_UseWaveExtensible). The caller's
// whole buffer is cleared, and what fits of the format copied into it.
HRESULT read_format(const Script* script, void* format, LONG* size) {
  const AvsApi& avs = *script->avs;
  const AvsVideoInfo& vi = *script->vi;
  const bool known = avs.is_channel_mask_known(&vi);
  const bool extensible = avs.get_var_bool(script->env, "OPT_UseWaveExtensible", known);
  const LONG whole = extensible ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
  if (!format) {
    *size = whole;
    return S_OK;
  }
  const bool is_float = vi.sample_type & kSampleFloat;
  WAVEFORMATEXTENSIBLE w;
  std::memset(&w, 0, sizeof w);
  w.Format.wFormatTag = is_float ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
  w.Format.nChannels = WORD(vi.nchannels);
  w.Format.nSamplesPerSec = DWORD(vi.audio_samples_per_second);
  w.Format.wBitsPerSample = WORD(bytes_per_channel_sample(vi) * 8);
  w.Format.nBlockAlign = WORD(bytes_per_sample(vi));
  w.Format.nAvgBytesPerSec = w.Format.nSamplesPerSec * w.Format.nBlockAlign;
  if (extensible) {
    w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    w.Format.cbSize = sizeof w - sizeof w.Format;
    w.Samples.wValidBitsPerSample = w.Format.wBitsPerSample;
    if (known) {
      w.dwChannelMask = avs.get_channel_mask(&vi);
    } else {
      const DWORD chosen = DWORD(avs.get_var_int(script->env, "OPT_dwChannelMask", 0));
      w.dwChannelMask = chosen != 0 ? chosen : avisynth_channel_mask(vi.nchannels);
    }
    // KSDATAFORMAT_SUBTYPE_PCM or _IEEE_FLOAT.
    w.SubFormat = {is_float ? 3u : 1u, 0, 0x10, {0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}};
  }
  std::memset(format, 0, size_t(std::max<LONG>(*size, 0)));
  *size = std::min(std::max<LONG>(*size, 0), whole);
  std::memcpy(format, &w, size_t(*size));
  return S_OK;
}

// Samples from `start`, cut at the clip's end as AviSynth counts it: by its
// whole sample count, so that a clip longer than dwLength can say delivers
// samples past it. A negative count, which AviSynth would pass on to its
// filters, reads nothing. A read that fails keeps the clip's message for
// GetError.
HRESULT read_samples(Script* script, LONG start, LONG count, void* buffer, LONG buffer_size,
                     LONG* bytes, LONG* samples) {
  const AvsVideoInfo& vi = *script->vi;
  const int64_t block = bytes_per_sample(vi);
  int64_t n = std::max<LONG>(count, 0);
  if (start + n > vi.num_audio_samples) n = std::max<int64_t>(vi.num_audio_samples - start, 0);
  // In 64 bits, so that no count overflows past the buffer's end.
  if (buffer && n * block > buffer_size) n = block ? std::max<LONG>(buffer_size, 0) / block : 0;
  if (bytes) *bytes = LONG(n * block);
  if (samples) *samples = LONG(n);
  if (!buffer || n == 0) return S_OK;
  const AvsApi& avs = *script->avs;
  try {
    if (avs.get_audio(script->clip, buffer, start, n) == 0) return S_OK;
    script->fail(avs.clip_get_error(script->clip));
  } catch (...) {
    script->fail("CAVIStreamSynth: unhandled C++ exception");
  }
  return E_FAIL;
}

}  // namespace

const ScriptHandler kAvisynthHandler = {open_script, close_script, script_error, find_stream,
                                        stream_info, read_format,  read_samples};

}  // namespace posix
