// jpeg-decode [--components 1|3|4] IN.jpg OUT.(pgm|ppm|pam)
//
// Decodes a JPEG with the project's decoder and writes it as a binary PGM
// (1 component), PPM (3) or PAM (4, RGB_ALPHA; or 1, 3 as GRAYSCALE, RGB).
// The component count follows OUT's extension unless given. On failure the
// decoder's status code is printed by name and value, and the exit code is 1.
#include "jpeg_decoder.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage() {
  std::fprintf(stderr, "usage: jpeg-decode [--components 1|3|4] IN.jpg OUT.pgm|OUT.ppm|OUT.pam\n");
  return 2;
}

std::string extension_of(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos) return {};
  std::string e = path.substr(dot + 1);
  for (char& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return e;
}

}  // namespace

int main(int argc, char** argv) {
  int requested = 0;
  const char* in_path = nullptr;
  const char* out_path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--components") == 0 && i + 1 < argc) {
      const std::string v = argv[++i];
      if (v != "1" && v != "3" && v != "4") return usage();
      requested = v[0] - '0';
    } else if (in_path == nullptr) {
      in_path = argv[i];
    } else if (out_path == nullptr) {
      out_path = argv[i];
    } else {
      return usage();
    }
  }
  if (in_path == nullptr || out_path == nullptr) return usage();

  const std::string ext = extension_of(out_path);
  if (ext != "pgm" && ext != "ppm" && ext != "pam") {
    std::fprintf(stderr, "jpeg-decode: %s: the output must end in .pgm, .ppm or .pam\n", out_path);
    return 2;
  }
  if (requested == 0) requested = ext == "pgm" ? 1 : ext == "ppm" ? 3 : 4;
  if ((ext == "pgm" && requested != 1) || (ext == "ppm" && requested != 3)) {
    std::fprintf(stderr, "jpeg-decode: .%s cannot hold %d components; use .pam\n", ext.c_str(), requested);
    return 2;
  }

  jpeg::jpeg_decoder_file_stream stream;
  if (!stream.open_file(in_path)) {
    std::fprintf(stderr, "jpeg-decode: cannot open %s\n", in_path);
    return 1;
  }
  int width = 0, height = 0, components = 0, status = 0;
  std::uint8_t* pixels =
      jpeg::decode_jpeg_with_status(&stream, &width, &height, &components, requested, nullptr, &status);
  if (pixels == nullptr) {
    std::fprintf(stderr, "jpeg-decode: %s: %s (%d)\n", in_path, jpeg::status_code_name(status), status);
    return 1;
  }

  std::FILE* out = std::fopen(out_path, "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "jpeg-decode: cannot write %s\n", out_path);
    std::free(pixels);
    return 1;
  }
  if (ext == "pam") {
    const char* tuple = requested == 1 ? "GRAYSCALE" : requested == 3 ? "RGB" : "RGB_ALPHA";
    std::fprintf(out, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n", width, height, requested,
                 tuple);
  } else {
    std::fprintf(out, "%s\n%d %d\n255\n", ext == "pgm" ? "P5" : "P6", width, height);
  }
  const std::size_t bytes = static_cast<std::size_t>(width) * height * requested;
  const bool written = std::fwrite(pixels, 1, bytes, out) == bytes;
  std::free(pixels);
  if (std::fclose(out) != 0 || !written) {
    std::fprintf(stderr, "jpeg-decode: writing %s failed\n", out_path);
    return 1;
  }
  return 0;
}
