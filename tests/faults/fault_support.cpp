#include "fault_support.h"

#include <sys/resource.h>

#include <cstring>

namespace kadrix_faults {

namespace {

kadrix_test::RunOptions options_of(const Limits& limits) {
  kadrix_test::RunOptions options;
  options.file_size_limit = limits.file_size;
  options.address_space_limit = limits.address_space;
  options.largest_allocation_mib = limits.largest_allocation_mib;
  return options;
}

ChildRun run(const std::string& directory, const std::string& list, const kadrix_test::RunOptions& options) {
  return kadrix_test::run_program(KADRIX_BIN, {directory, list}, options);
}

// Complete "new Var: " lines in a transcript.
int new_var_lines(const std::string& out) {
  int lines = 0;
  for (std::size_t at = out.find("new Var: "); at != std::string::npos; at = out.find("new Var: ", at + 1))
    if (out.find("\r\n", at) != std::string::npos) ++lines;
  return lines;
}

}  // namespace

ChildRun run_kadrix(const std::string& directory, const std::string& list, const Limits& limits) {
  return run(directory, list, options_of(limits));
}

ChildRun run_kadrix_limited_from(const std::string& directory, const std::string& list,
                                 const std::string& path_prefix, std::uint64_t file_size, bool& limited,
                                 bool& available) {
  kadrix_test::RunOptions options;
  options.on_syscall = [&](const kadrix_test::SyscallEntry& call) {
    if (kadrix_test::opened_path(call).rfind(path_prefix, 0) != 0) return false;
    const rlimit limit{file_size, RLIM_INFINITY};
    if (prlimit(call.pid, RLIMIT_FSIZE, &limit, nullptr) != 0) ADD_FAILURE() << "prlimit failed";
    return true;
  };
  const ChildRun result = run(directory, list, options);
  limited = result.trace_done;
  available = result.traced;
  return result;
}

ChildRun run_kadrix_killed(const std::string& directory, const std::string& list, KillWhen when, int n,
                           const std::string& watched_dir, int& events) {
  kadrix_test::RunOptions options;
  if (when == KillWhen::new_name) {
    options.watched_dir = watched_dir;
    options.kill_on_names = [n](int names) { return n > 0 && names >= n; };
  } else {
    options.kill_on_output = [n](const std::string& out) { return n > 0 && new_var_lines(out) >= n; };
  }
  const ChildRun result = run(directory, list, options);
  events = when == KillWhen::new_name ? result.names : new_var_lines(result.out);
  return result;
}

// ---- frames and directories ---------------------------------------------

void write_object(const std::string& prefix, const std::string& name, std::int32_t width,
                  std::int32_t height, int count, int seed) {
  std::uint32_t state = 2654435761u * static_cast<std::uint32_t>(seed + 1);
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  for (int k = 1; k <= count; ++k) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (std::int32_t y = 0; y < height; ++y)
      for (std::int32_t x = 0; x < width; ++x)
        pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] =
            static_cast<std::uint8_t>(20 + 7 * seed + (x + 2 * y) * 40 / (width + 2 * height) + next() % 9);
    for (int star = 0; star < 3 + seed; ++star) {
      const std::size_t at = next() % pixels.size();
      pixels[at] = static_cast<std::uint8_t>(150 + next() % 100);
    }
    kadrix_test::write_file(kadrix_test::frame_file(prefix, name, k), kadrix_test::frame_bmp(width, height, pixels));
  }
}

std::string write_list(const kadrix_test::TempDir& dir, const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += name + "\n";
  const std::string path = dir.file("lista.list");
  kadrix_test::write_file(path, text);
  return path;
}

// ---- result files ------------------------------------------------------

namespace {

std::uint32_t le16(const Bytes& b, std::size_t at) { return b[at] | static_cast<std::uint32_t>(b[at + 1]) << 8; }
std::uint32_t le32(const Bytes& b, std::size_t at) { return le16(b, at) | le16(b, at + 2) << 16; }

}  // namespace

std::optional<ResultImage> parse_result(const Bytes& bytes, std::string& why) {
  auto fail = [&](const std::string& reason) {
    why = reason;
    return std::nullopt;
  };
  if (bytes.size() < 1078) return fail("shorter than header and palette: " + std::to_string(bytes.size()));
  if (bytes[0] != 'B' || bytes[1] != 'M') return fail("no BM signature");
  ResultImage image;
  image.width = static_cast<std::int32_t>(le32(bytes, 18));
  image.height = static_cast<std::int32_t>(le32(bytes, 22));
  if (image.width <= 0 || image.height <= 0) return fail("width or height not positive");
  const std::uint64_t stride = (static_cast<std::uint64_t>(image.width) + 3) / 4 * 4;
  const std::uint64_t image_bytes = stride * static_cast<std::uint64_t>(image.height);
  struct Field {
    std::size_t at;
    std::uint64_t want;
    const char* name;
  };
  const Field fields[] = {{2, 1078 + image_bytes, "file size"}, {6, 0, "reserved"},
                          {10, 1078, "data offset"},           {14, 40, "information header size"},
                          {34, image_bytes, "image size"},     {38, 1, "horizontal resolution"},
                          {42, 1, "vertical resolution"},      {46, 0, "colours used"},
                          {50, 0, "important colours"},        {30, 0, "compression"}};
  for (const Field& f : fields)
    if (le32(bytes, f.at) != f.want)
      return fail(std::string(f.name) + " field " + std::to_string(le32(bytes, f.at)) + ", expected " +
                  std::to_string(f.want));
  if (le16(bytes, 26) != 1 || le16(bytes, 28) != 8) return fail("planes or bit count wrong");
  if (bytes.size() != 1078 + image_bytes)
    return fail("file holds " + std::to_string(bytes.size()) + " bytes, its header " +
                std::to_string(1078 + image_bytes));
  image.grey_palette = true;
  for (int i = 0; i < 256; ++i) {
    const std::size_t at = 54 + 4 * static_cast<std::size_t>(i);
    const bool grey = bytes[at] == i && bytes[at + 1] == i && bytes[at + 2] == i && bytes[at + 3] == 0;
    if (!grey && i >= 3) return fail("palette entry " + std::to_string(i) + " not grey");
    if (!grey) image.grey_palette = false;
  }
  std::memcpy(&image.level, &bytes[54], 4);
  std::memcpy(&image.sigma, &bytes[58], 4);
  image.frame_count = static_cast<std::int32_t>(le32(bytes, 62));
  const std::size_t width = static_cast<std::size_t>(image.width);
  image.pixels.resize(width * static_cast<std::size_t>(image.height));
  for (std::int32_t f = 0; f < image.height; ++f) {
    const std::size_t row = 1078 + stride * static_cast<std::size_t>(f);
    const std::size_t y = static_cast<std::size_t>(image.height - 1 - f);
    std::memcpy(&image.pixels[y * width], &bytes[row], width);
    for (std::size_t x = width; x < stride; ++x)
      if (bytes[row + x] != 0) return fail("padding byte not zero in file row " + std::to_string(f));
  }
  return image;
}

}  // namespace kadrix_faults
