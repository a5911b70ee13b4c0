// The music layer: plays one XM module through SDL's audio output and reports
// its play position. The operations mirror those of a classic tracker-music
// library so that the show's driver reads like it always did.
#ifndef AUDIO_MUSIC_H
#define AUDIO_MUSIC_H

#include <cstdint>
#include <vector>

using music_handle = std::uint32_t;  // 0: no module

// music_load flags.
constexpr std::uint32_t MUSIC_SOFTWARE_MIXING = 0x10;
constexpr std::uint32_t MUSIC_RAMPS = 0x400;                  // volume ramping
constexpr std::uint32_t MUSIC_SINC_INTERPOLATION = 0x800000;  // windowed-sinc, 8 taps

// music_set_attribute attributes.
constexpr std::uint32_t MUSIC_ATTRIB_POSITION_SCALER = 0x102;

// music_get_position modes.
constexpr std::uint32_t MUSIC_POSITION_ORDER = 1;

// music_is_active results.
constexpr std::uint32_t MUSIC_ACTIVE_STOPPED = 0;
constexpr std::uint32_t MUSIC_ACTIVE_PLAYING = 1;
constexpr std::uint32_t MUSIC_ACTIVE_STALLED = 2;
constexpr std::uint32_t MUSIC_ACTIVE_PAUSED = 3;

// Opens the output device (device -1: the default) at freq Hz, stereo,
// 16-bit. Returns false when no audio device can be opened; SDL_GetError
// then says why.
bool audio_init(int device, std::uint32_t freq, std::uint32_t flags);

// Loads a module from a file (from_memory false: file is a path) or from
// memory (file points at length bytes). offset skips leading bytes; length 0
// means the whole file. freq 0: the output rate. Returns 0 on failure,
// including when audio_init has not succeeded.
music_handle music_load(bool from_memory, const void* file, std::uint64_t offset, std::uint32_t length,
                        std::uint32_t flags, std::uint32_t freq);

// MUSIC_ATTRIB_POSITION_SCALER: the row part of an order-mode position is
// reported as row * scaler + fraction of the row * scaler.
bool music_set_attribute(music_handle handle, std::uint32_t attrib, float value);

// Starts playback (once through; it stops at the module's end).
bool music_play(music_handle handle, bool restart);

// MUSIC_ACTIVE_PLAYING while the module plays and until its last buffer has
// been heard; MUSIC_ACTIVE_STOPPED afterwards and for an invalid handle.
std::uint32_t music_is_active(music_handle handle);

// MUSIC_POSITION_ORDER: bits 0-15 order index, bits 16-31 row * scaler +
// fraction of the position being heard, upper 32 bits zero. All ones on error.
std::uint64_t music_get_position(music_handle handle, std::uint32_t mode);

// As music_get_position, for the position that will be heard `ahead_us`
// microseconds from now, looking no further than the music already handed
// to the output (about one buffer past what is heard). For a caller that
// shows the position later than it asks for it. Never goes back from an
// earlier answer of its own while the music plays on.
std::uint64_t music_get_position_ahead(music_handle handle, std::uint32_t mode, std::uint32_t ahead_us);

// Stops playback, frees every module and closes the output.
bool audio_free();

// A whole module rendered offline, for recording the show.
struct music_recording {
  std::vector<std::int16_t> samples;     // interleaved stereo, 16-bit: the module once through
  std::vector<std::uint64_t> positions;  // one per video frame, as music_get_position reports them
};

// Renders a module once through as music_load with `flags` and music_play
// would play it at `freq` Hz, without an audio device. positions[k] is the
// position music_get_position (MUSIC_POSITION_ORDER, scaler `scaler`) reports
// while output frame k * freq / frames_per_second is heard, for every k whose
// frame lies before the module's end. Returns false when the module cannot be
// loaded or a value is out of range.
bool music_record(const char* file, std::uint32_t flags, std::uint32_t freq, float scaler,
                  std::uint32_t frames_per_second, music_recording& out);

#endif
