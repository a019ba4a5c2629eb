#pragma once
// Helpers of the kadrix-inspect tests: result pairs written by the
// project's own result writer, and images drawn as rows of characters.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace inspect_test {

// An object's result as kadrix would hold it before writing: one mean and
// one flag per pixel, rows top-down, and the statistics of the SS palette.
struct ObjectResult {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<double> means;
  std::vector<int> flags;
  double level = 10.5;
  double sigma = 2.25;
  std::int32_t frames = 12;
};

// Writes <dir><name>SR.BMP and <dir><name>SS.BMP as kadrix does.
void write_pair(const std::string& dir, const std::string& name, const ObjectResult& result);

// A picture as rows of text: '.' an unflagged pixel of mean 0, a digit d a
// flagged pixel of mean d, '#' a flagged pixel of mean 1.
ObjectResult drawn(const std::vector<std::string>& rows);

// A 5 x 4 object (rows padded to 8 bytes) with three sources, five
// flagged pixels (*), level 10.5, sigma 2.25, 12 frames:
//   10    11   12   13   12.6*
//   14    40*  20*  15   16
//   17    18   20*  19   25
//   30.25* 21  22   23   24
ObjectResult sample_object();

// The catalogue's CSV header line, without its line end.
inline constexpr const char* kCatalogueHeader =
    "x,y,pixels,peak,sum,id,background,flux_iso,flux_iso_err,snr,flux_auto,flux_auto_err,fwhm,a,b,theta,"
    "elongation,flags";

// Checks the CSV (header and rows, CR LF line ends) of sample_object():
// the group of 40, 20, 20 first, then the single pixels at (0, 3) and
// (4, 0), each with its pixel count, peak, sum and rank; the single pixels
// centred on themselves and flagged as touching the border; the group's
// centre among its pixels. Its one mesh of sky makes the background and
// its RMS the same everywhere: flux_iso = sum - pixels x background, the
// errors in the ratio of the roots of the pixel counts, snr their quotient.
void expect_sample_catalogue(const std::string& csv);

// The pixel codes (SR << 8 | SS) kadrix stores for result.
std::vector<std::uint16_t> codes_of(const ObjectResult& result);

using kadrix_test::crlf;

// What a wrong call prints after its reason (CR LF line ends).
inline const std::string kUsage = crlf(
    "Prawidlowe wywolanie: kadrix-inspect prefiks [--csv] [--overlay plik.BMP]\n"
    "                      [--fits plik.fits] [--regions plik.reg]\n"
    "               albo:  kadrix-inspect --night katalog lista [--html plik.html]\n"
    "np. kadrix-inspect dane/M31 --overlay M31.BMP\n"
    "(kadrix-inspect --help opisuje program i opcje)\n");

// The text of a file.
std::string text_of(const std::string& path);

// Lines of text without their line ends (LF or CR LF).
std::vector<std::string> lines_of(const std::string& text);

// Fields of a CSV line without quoted fields.
std::vector<std::string> fields_of(const std::string& line);

// A PNG file decoded by libpng: 8-bit RGB, rows top-down.
struct RgbPicture {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> rgb;
  bool operator==(const RgbPicture&) const = default;
};
std::optional<RgbPicture> decode_png(const kadrix_test::Bytes& bytes);

// A 24-bit BMP as the overlay writes it (54-byte header, rows bottom-up,
// blue green red), as RGB rows top-down.
RgbPicture decode_bmp24(const kadrix_test::Bytes& bytes);

// The program run through /bin/sh under a file-size limit of blocks of 512
// bytes (SIGXFSZ left to the program).
kadrix_test::RunResult run_with_file_limit(const std::string& program, const std::vector<std::string>& args,
                                           int blocks);

}  // namespace inspect_test
