// jpeg-decode [--components 1|3|4] [--scale 1|1/2|1/4|1/8] IN.jpg OUT.(pgm|ppm|pam)
//
// Decodes a JPEG with the project's decoder and writes it as a binary PGM
// (1 component), PPM (3) or PAM (4, RGB_ALPHA; or 1, 3 as GRAYSCALE, RGB).
// The component count follows OUT's extension unless given. --scale 1/d
// writes the picture at ceil(width / d) x ceil(height / d), reconstructed at
// that size by the decoder itself. On failure the decoder's status code is
// printed by name and value, and the exit code is 1.
#include "jpeg_decoder.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: jpeg-decode [--components 1|3|4] [--scale 1|1/2|1/4|1/8] IN.jpg OUT.pgm|OUT.ppm|OUT.pam\n");
  return 2;
}

std::string extension_of(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos) return {};
  std::string e = path.substr(dot + 1);
  for (char& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return e;
}

// What the command line asks for: the paths, OUT's extension (lower case),
// the components per pixel to decode to and the scale's denominator.
struct request {
  const char* in_path = nullptr;
  const char* out_path = nullptr;
  std::string ext;
  int components = 0;
  int scale_denominator = 1;
};

// The value of an option, 0 unless it is one of `values`, which the value's
// digit after the prefix (the last character) names.
int option_value(const std::string& v, std::initializer_list<const char*> values) {
  for (const char* value : values) {
    if (v == value) return v.back() - '0';
  }
  return 0;
}

// Reads the command line into `r`; 0, or the exit code of a usage error.
int parse_arguments(int argc, char** argv, request& r) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--components") == 0 && i + 1 < argc) {
      r.components = option_value(argv[++i], {"1", "3", "4"});
      if (r.components == 0) return usage();
    } else if (std::strcmp(argv[i], "--scale") == 0 && i + 1 < argc) {
      r.scale_denominator = option_value(argv[++i], {"1", "1/2", "1/4", "1/8"});
      if (r.scale_denominator == 0) return usage();
    } else if (r.in_path == nullptr) {
      r.in_path = argv[i];
    } else if (r.out_path == nullptr) {
      r.out_path = argv[i];
    } else {
      return usage();
    }
  }
  if (r.in_path == nullptr || r.out_path == nullptr) return usage();
  return 0;
}

// Takes OUT's extension, and the component count from it unless given; 0,
// or the exit code of a format that cannot hold the count.
int choose_format(request& r) {
  r.ext = extension_of(r.out_path);
  if (r.ext != "pgm" && r.ext != "ppm" && r.ext != "pam") {
    std::fprintf(stderr, "jpeg-decode: %s: the output must end in .pgm, .ppm or .pam\n", r.out_path);
    return 2;
  }
  if (r.components == 0) r.components = r.ext == "pgm" ? 1 : r.ext == "ppm" ? 3 : 4;
  if ((r.ext == "pgm" && r.components != 1) || (r.ext == "ppm" && r.components != 3)) {
    std::fprintf(stderr, "jpeg-decode: .%s cannot hold %d components; use .pam\n", r.ext.c_str(), r.components);
    return 2;
  }
  return 0;
}

// Writes the picture to r.out_path as the header its extension names and
// the pixels; false (after saying so) when that fails.
bool write_picture(const request& r, const std::uint8_t* pixels, int width, int height) {
  std::FILE* out = std::fopen(r.out_path, "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "jpeg-decode: cannot write %s\n", r.out_path);
    return false;
  }
  if (r.ext == "pam") {
    const char* tuple = r.components == 1 ? "GRAYSCALE" : r.components == 3 ? "RGB" : "RGB_ALPHA";
    std::fprintf(out, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n", width, height,
                 r.components, tuple);
  } else {
    std::fprintf(out, "%s\n%d %d\n255\n", r.ext == "pgm" ? "P5" : "P6", width, height);
  }
  const std::size_t bytes = static_cast<std::size_t>(width) * height * r.components;
  const bool written = std::fwrite(pixels, 1, bytes, out) == bytes;
  if (std::fclose(out) != 0 || !written) {
    std::fprintf(stderr, "jpeg-decode: writing %s failed\n", r.out_path);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  request r;
  if (const int failed = parse_arguments(argc, argv, r)) return failed;
  if (const int failed = choose_format(r)) return failed;

  jpeg::jpeg_decoder_file_stream stream;
  if (!stream.open_file(r.in_path)) {
    std::fprintf(stderr, "jpeg-decode: cannot open %s\n", r.in_path);
    return 1;
  }
  int width = 0, height = 0, components = 0, status = 0;
  std::uint8_t* pixels =
      jpeg::decode_jpeg_scaled(&stream, &width, &height, &components, r.components, r.scale_denominator,
                               jpeg::decoder_limits{}, nullptr, nullptr, &status);
  if (pixels == nullptr) {
    std::fprintf(stderr, "jpeg-decode: %s: %s (%d)\n", r.in_path, jpeg::status_code_name(status), status);
    return 1;
  }
  const bool written = write_picture(r, pixels, width, height);
  std::free(pixels);
  return written ? 0 : 1;
}
