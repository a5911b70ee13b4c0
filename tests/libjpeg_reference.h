// Shared by the decoder's tests: libjpeg-turbo as the reference reader of a
// file in memory. Its errors end the step that met them instead of the
// process.
#ifndef TESTS_LIBJPEG_REFERENCE_H
#define TESTS_LIBJPEG_REFERENCE_H

#include "test_support.h"

#include <jpeglib.h>

#include <csetjmp>

class libjpeg_reader {
 public:
  jpeg_decompress_struct info{};
  bool ok = false;  // the headers up to the first scan were read

  explicit libjpeg_reader(const byte_string& bytes) {
    info.err = jpeg_std_error(&error_);
    error_.error_exit = [](j_common_ptr c) { std::longjmp(static_cast<libjpeg_reader*>(c->client_data)->jump_, 1); };
    info.client_data = this;
    jpeg_create_decompress(&info);
    bool header = false;
    ok = run([&] {
           jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
           header = jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK;
         }) &&
         header;
  }
  libjpeg_reader(const libjpeg_reader&) = delete;
  libjpeg_reader& operator=(const libjpeg_reader&) = delete;
  ~libjpeg_reader() { jpeg_destroy_decompress(&info); }

  // Runs step, which calls libjpeg on info; false when libjpeg met an error.
  template <class Step>
  bool run(Step&& step) {
    if (setjmp(jump_) != 0) return false;
    step();
    return true;
  }

 private:
  jpeg_error_mgr error_{};
  std::jmp_buf jump_{};
};

#endif
