// Placeholder until the player lands: no audio device, no module.
#include "music.h"

bool audio_init(int, std::uint32_t, std::uint32_t) { return false; }
music_handle music_load(bool, const void*, std::uint64_t, std::uint32_t, std::uint32_t, std::uint32_t) { return 0; }
bool music_set_attribute(music_handle, std::uint32_t, float) { return false; }
bool music_play(music_handle, bool) { return false; }
std::uint32_t music_is_active(music_handle) { return MUSIC_ACTIVE_STOPPED; }
std::uint64_t music_get_position(music_handle, std::uint32_t) { return ~std::uint64_t{0}; }
bool audio_free() { return true; }
