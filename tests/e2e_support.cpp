#include "e2e_support.h"

namespace kadrix_e2e {

RunResult run_kadrix(const std::vector<std::string>& args, const RunOptions& options) {
  return kadrix_test::run_program(KADRIX_BIN, args, options);
}

void write_frames(const std::string& prefix, const std::string& name, const std::vector<Bytes>& frames) {
  for (std::size_t k = 0; k < frames.size(); ++k)
    kadrix_test::write_file(frame_file(prefix, name, static_cast<int>(k) + 1), frames[k]);
}

void write_flat_object(const std::string& prefix, const std::string& name, int count) {
  const Bytes frame = kadrix_test::frame_bmp(8, 7, kadrix_test::flat(8, 7, 10));
  write_frames(prefix, name, std::vector<Bytes>(static_cast<std::size_t>(count), frame));
}

std::string preamble(const std::string& directory, const std::vector<std::string>& names) {
  std::string out = directory + " sciezka do plikow BMP\r\n";
  for (std::size_t i = 0; i < names.size(); ++i) out += names[i] + " " + std::to_string(i) + "\r\n";
  out += std::to_string(names.size()) + " obrazkow do analizy\r\n";
  return out;
}

Bytes result_file(int width, int height, const std::vector<std::uint8_t>& pixels, float level, float sigma,
                  int count) {
  Bytes bytes = kadrix_test::frame_bmp(width, height, pixels);
  if (count >= 0) {
    const Bytes l = kadrix_test::float_bytes(level);
    const Bytes s = kadrix_test::float_bytes(sigma);
    std::copy(l.begin(), l.end(), bytes.begin() + 54);
    std::copy(s.begin(), s.end(), bytes.begin() + 58);
    kadrix_test::put_le32(bytes, 62, static_cast<std::uint32_t>(count));
  }
  return bytes;
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace kadrix_e2e
