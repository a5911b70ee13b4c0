// The music layer over libopenmpt and SDL's audio output.
//
// One output stream; every playing module is rendered into it by the audio
// callback, tick by tick, leaving tick records behind (module_renderer). The
// main thread asks where the heard sound is (output_clock) and looks that up
// in the module's records (tick_timeline). All shared state, and every call
// into a module the callback can reach, is touched only inside the callback
// or under SDL_LockAudio, which SDL holds while the callback runs. A module
// is parsed before it is handed over under the lock, so the main thread never
// keeps the callback waiting long, and the callback allocates nothing (but
// for a small temporary that libopenmpt makes when a module reaches its end).
#include "music.h"

#include <SDL.h>
#include <libopenmpt/libopenmpt.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "module_renderer.h"
#include "position_timeline.h"

using namespace audio_internal;

namespace {

constexpr std::uint64_t no_position = ~std::uint64_t{0};
// 1024 frames: 23 ms at 44100 Hz; enough slack for a loaded machine, and the
// position does not depend on it since it is interpolated between callbacks.
constexpr Uint16 buffer_frames = 1024;
// SDL keeps calling back even after losing the device, so a silence this long
// means the output is stuck, not that it is slow.
constexpr std::chrono::seconds stall_limit{3};

struct music_slot {
  openmpt_module* module = nullptr;
  std::unique_ptr<module_renderer> renderer;
  tick_timeline timeline;
  float scaler = 1.0f;
  bool playing = false;  // from music_play until the end has been heard

  ~music_slot() {
    if (module) openmpt_module_destroy(module);
  }
};

struct audio_state {
  bool open = false;
  std::uint32_t rate = 44100;
  std::uint64_t written = 0;  // frames handed to SDL since the output opened
  output_clock clock;
  std::vector<std::unique_ptr<music_slot>> slots;  // handle = index + 1
  std::vector<std::int16_t> scratch;               // one module's share of a callback
};

// Never destroyed: an output left open at exit keeps calling back into it.
audio_state& state = *new audio_state;

class audio_lock {
 public:
  audio_lock() { SDL_LockAudio(); }
  ~audio_lock() { SDL_UnlockAudio(); }
  audio_lock(const audio_lock&) = delete;
  audio_lock& operator=(const audio_lock&) = delete;
};

// Under the audio lock.
music_slot* find(music_handle handle) {
  if (!state.open || handle == 0 || handle > state.slots.size()) return nullptr;
  return state.slots[handle - 1].get();
}

void mix_into(std::int16_t* out, const std::int16_t* in, std::size_t samples) {
  for (std::size_t i = 0; i < samples; ++i)
    out[i] = static_cast<std::int16_t>(std::clamp(out[i] + in[i], -32768, 32767));
}

void fill_audio(void*, Uint8* stream, int len) {
  const std::size_t frames = static_cast<std::size_t>(len) / 4;
  std::memset(stream, 0, static_cast<std::size_t>(len));
  state.clock.on_callback(state.written, static_cast<std::uint32_t>(frames), std::chrono::steady_clock::now());
  auto* out = reinterpret_cast<std::int16_t*>(stream);
  const std::size_t chunk = state.scratch.size() / 2;
  for (auto& slot : state.slots) {
    if (!slot || !slot->playing || slot->renderer->ended()) continue;
    std::size_t done = 0;
    while (done < frames) {
      const std::size_t want = std::min(chunk, frames - done);
      const std::size_t got = slot->renderer->render(state.scratch.data(), want, state.written + done, slot->timeline);
      mix_into(out + 2 * done, state.scratch.data(), 2 * got);
      done += got;
      if (got < want) break;
    }
  }
  state.written += frames;
}

bool read_file(const char* path, std::uint64_t offset, std::uint32_t length, std::vector<char>& data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0 || offset > static_cast<std::uint64_t>(size)) return false;
  std::uint64_t count = static_cast<std::uint64_t>(size) - offset;
  if (length != 0) {
    if (length > count) return false;
    count = length;
  }
  data.resize(static_cast<std::size_t>(count));
  in.seekg(static_cast<std::streamoff>(offset));
  return static_cast<bool>(in.read(data.data(), static_cast<std::streamsize>(count)));
}

// The player settings of music_load; the module stops at its end.
openmpt_module* create_module(const char* bytes, std::size_t size, std::uint32_t flags) {
  const openmpt_module_initial_ctl ctls[] = {{"play.at_end", "stop"}, {nullptr, nullptr}};
  int error = 0;
  openmpt_module* module = openmpt_module_create_from_memory2(
      bytes, size, openmpt_log_func_silent, nullptr, openmpt_error_func_ignore, nullptr, &error, nullptr, ctls);
  if (!module) return nullptr;
  openmpt_module_set_repeat_count(module, 0);
  openmpt_module_set_render_param(module, OPENMPT_MODULE_RENDER_INTERPOLATIONFILTER_LENGTH,
                                  (flags & MUSIC_SINC_INTERPOLATION) ? 8 : 2);
  // -1 is libopenmpt's recommended ramping; without the flag, none at all.
  openmpt_module_set_render_param(module, OPENMPT_MODULE_RENDER_VOLUMERAMPING_STRENGTH, (flags & MUSIC_RAMPS) ? -1 : 0);
  return module;
}

bool valid_scaler(float value) { return std::isfinite(value) && value > 0.0f && value <= 65536.0f; }

// The order-mode position value of music_get_position.
std::uint64_t encode_position(const row_position& pos, float scaler) {
  // Scaled in double: 255.996 rows times 65536 is exact there. A scaled value
  // beyond 16 bits saturates instead of wrapping into a small one.
  const double scaled = std::floor((pos.row * 256.0 + pos.fraction) * static_cast<double>(scaler) / 256.0);
  const std::uint64_t rows = static_cast<std::uint64_t>(std::clamp(scaled, 0.0, 65535.0));
  return std::uint64_t{pos.order} | rows << 16;
}

}  // namespace

bool audio_init(int /*device*/, std::uint32_t freq, std::uint32_t /*flags*/) {
  // SDL 1.2 opens only its default output; device numbers and flags have
  // nothing to select.
  if (state.open) return false;
  if (freq == 0 || freq > 384000) return false;
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) < 0) return false;
  SDL_AudioSpec want{};
  want.freq = static_cast<int>(freq);
  want.format = AUDIO_S16SYS;
  want.channels = 2;
  want.samples = buffer_frames;
  want.callback = fill_audio;
  // No `obtained` SDL_AudioSpec: SDL converts from exactly this format if the device
  // differs, and fills in the buffer size it chose.
  if (SDL_OpenAudio(&want, nullptr) < 0) {
    // Quitting the subsystem clears the error that says why the output failed.
    const std::string error = SDL_GetError();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    SDL_SetError("%s", error.c_str());
    return false;
  }
  state.rate = freq;
  state.written = 0;
  state.slots.clear();
  state.scratch.assign(2 * std::size_t{want.samples ? want.samples : buffer_frames}, 0);
  state.clock.reset(freq, want.samples);
  state.open = true;
  SDL_PauseAudio(0);
  return true;
}

music_handle music_load(bool from_memory, const void* file, std::uint64_t offset, std::uint32_t length,
                        std::uint32_t flags, std::uint32_t freq) {
  if (!state.open || !file) return 0;
  // The module is mixed straight into the output stream, at its rate.
  if (freq != 0 && freq != state.rate) return 0;
  std::vector<char> data;
  const char* bytes = nullptr;
  std::size_t size = 0;
  if (from_memory) {
    if (length == 0) return 0;
    bytes = static_cast<const char*>(file) + offset;
    size = length;
  } else {
    if (!read_file(static_cast<const char*>(file), offset, length, data)) return 0;
    bytes = data.data();
    size = data.size();
  }

  // Parsed before the lock: the callback would wait for it.
  auto slot = std::make_unique<music_slot>();
  slot->module = create_module(bytes, size, flags);
  if (!slot->module) return 0;
  slot->renderer = std::make_unique<module_renderer>(slot->module, state.rate);
  audio_lock lock;
  for (std::size_t i = 0; i < state.slots.size(); ++i) {
    if (!state.slots[i]) {
      state.slots[i] = std::move(slot);
      return static_cast<music_handle>(i + 1);
    }
  }
  if (state.slots.size() >= std::numeric_limits<music_handle>::max() - 1) return 0;
  state.slots.push_back(std::move(slot));
  return static_cast<music_handle>(state.slots.size());
}

bool music_set_attribute(music_handle handle, std::uint32_t attrib, float value) {
  audio_lock lock;
  music_slot* slot = find(handle);
  if (!slot || attrib != MUSIC_ATTRIB_POSITION_SCALER) return false;
  if (!valid_scaler(value)) return false;
  slot->scaler = value;
  return true;
}

bool music_play(music_handle handle, bool restart) {
  audio_lock lock;
  music_slot* slot = find(handle);
  if (!slot) return false;
  if (slot->playing && !restart) return true;
  // Once ended the module can only start over.
  if (restart || slot->renderer->ended()) {
    openmpt_module_set_position_order_row(slot->module, 0, 0);
    slot->renderer->restart();
    slot->timeline.clear();
  }
  slot->playing = true;
  return true;
}

std::uint32_t music_is_active(music_handle handle) {
  audio_lock lock;
  music_slot* slot = find(handle);
  if (!slot || !slot->playing) return MUSIC_ACTIVE_STOPPED;
  const auto now = std::chrono::steady_clock::now();
  if (slot->timeline.finished() && state.clock.heard(now) >= slot->timeline.end_frame()) {
    slot->playing = false;
    return MUSIC_ACTIVE_STOPPED;
  }
  if (state.clock.stalled(now, stall_limit)) return MUSIC_ACTIVE_STALLED;
  return MUSIC_ACTIVE_PLAYING;
}

namespace {

// The position of music_get_position at the output frame `frame_at` picks
// for the current time.
template <typename FrameAt>
std::uint64_t position_at(music_handle handle, std::uint32_t mode, FrameAt frame_at) {
  if (mode != MUSIC_POSITION_ORDER) return no_position;
  audio_lock lock;
  music_slot* slot = find(handle);
  if (!slot) return no_position;
  // Nothing rendered yet: the module stands at its start.
  row_position pos{};
  if (auto heard = slot->timeline.at(frame_at(std::chrono::steady_clock::now()))) pos = *heard;
  return encode_position(pos, slot->scaler);
}

}  // namespace

std::uint64_t music_get_position(music_handle handle, std::uint32_t mode) {
  return position_at(handle, mode, [](steady_time now) { return state.clock.heard(now); });
}

std::uint64_t music_get_position_ahead(music_handle handle, std::uint32_t mode, std::uint32_t ahead_us) {
  return position_at(handle, mode, [ahead_us](steady_time now) {
    return state.clock.ahead(now, std::uint64_t{ahead_us} * state.rate / 1000000u);
  });
}

bool audio_free() {
  if (!state.open) return false;
  // Closing waits for the callback to finish; nothing runs on the audio
  // thread afterwards, so the modules can go without the lock.
  SDL_CloseAudio();
  state.slots.clear();
  state.scratch.clear();
  state.open = false;
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
  return true;
}

bool music_record(const char* file, std::uint32_t flags, std::uint32_t freq, float scaler,
                  std::uint32_t frames_per_second, music_recording& out) {
  out.samples.clear();
  out.positions.clear();
  if (!file || freq == 0 || freq > 384000 || !valid_scaler(scaler) || frames_per_second == 0) return false;
  std::vector<char> data;
  if (!read_file(file, 0, 0, data)) return false;
  openmpt_module* module = create_module(data.data(), data.size(), flags);
  if (!module) return false;
  module_renderer renderer(module, freq);
  tick_timeline timeline;
  const auto frame_of = [&](std::uint64_t k) { return k * freq / frames_per_second; };
  constexpr std::size_t chunk = 4096;  // at most ten ticks: far fewer than the timeline keeps
  std::uint64_t rendered = 0;
  while (!renderer.ended()) {
    out.samples.resize(2 * (rendered + chunk));
    rendered += renderer.render(out.samples.data() + 2 * rendered, chunk, rendered, timeline);
    if (timeline.empty()) continue;
    // A tick's record is final once the next one has started (it may cut the
    // tick short), as it always is for the frame a live player hears.
    const std::uint64_t settled = timeline.finished() ? timeline.end_frame() : timeline.newest().start;
    for (std::uint64_t frame; (frame = frame_of(out.positions.size())) < settled;)
      out.positions.push_back(encode_position(*timeline.at(frame), scaler));
  }
  out.samples.resize(2 * rendered);
  openmpt_module_destroy(module);
  return true;
}
