#include "tools/inspect/fits_export.h"

#include <fitsio.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "tools/fits/fits_file.h"

namespace kadrix::inspect {

namespace {

// cfitsio takes column descriptions as arrays of char*.
struct Column {
  std::string name;
  std::string form;
  std::string unit;
};

bool write_primary(fitsfile* f, const ResultPair& pair, std::span<const Source> sources, std::int64_t detected,
                   const std::string& creator) {
  int status = 0;
  long axes[2] = {pair.width, pair.height};
  if (fits_create_img(f, FLOAT_IMG, 2, axes, &status) != 0) return false;
  // The palette holds single-precision values; 17 significant digits give
  // back the same double, and so the same float.
  if (fits_write_key_lng(f, "NCOMBINE", pair.stats.frame_count, "klatki polaczone w srednia", &status) != 0)
    return false;
  if (fits_write_key_dbl(f, "KDXLEVEL", static_cast<double>(pair.stats.level), -17, "poziom (srednia obrazu)",
                         &status) != 0)
    return false;
  if (fits_write_key_dbl(f, "KDXSIGMA", static_cast<double>(pair.stats.sigma), -17, "sigma koncowa wzgledem tla",
                         &status) != 0)
    return false;
  if (fits_write_key_lng(f, "KDXNDET", detected, "wykryte piksele", &status) != 0) return false;
  if (fits_write_key_lng(f, "KDXNSRC", static_cast<LONGLONG>(sources.size()), "zrodla", &status) != 0) return false;
  if (fits_write_date(f, &status) != 0) return false;
  if (fits_write_key_str(f, "CREATOR", creator.c_str(), "program, ktory zapisal plik", &status) != 0) return false;
  if (fits_write_history(f, ("plik SR: " + printable_ascii(pair.sr_path)).c_str(), &status) != 0) return false;
  if (fits_write_history(f, ("plik SS: " + printable_ascii(pair.ss_path)).c_str(), &status) != 0) return false;

  const std::size_t width = static_cast<std::size_t>(pair.width);
  std::vector<float> row(width);
  for (std::int32_t j = 0; j < pair.height; ++j) {
    const std::uint16_t* codes = pair.codes.data() + width * static_cast<std::size_t>(pair.height - 1 - j);
    // k / 128 with k below 2^15: exact in single precision.
    for (std::size_t x = 0; x < width; ++x) row[x] = static_cast<float>(mean_steps(codes[x])) / 128.0f;
    long first[2] = {1, j + 1};
    if (fits_write_pix(f, TFLOAT, first, static_cast<LONGLONG>(width), row.data(), &status) != 0) return false;
  }
  return true;
}

bool write_detections(fitsfile* f, const ResultPair& pair) {
  int status = 0;
  long axes[2] = {pair.width, pair.height};
  if (fits_create_img(f, BYTE_IMG, 2, axes, &status) != 0) return false;
  if (fits_write_key_str(f, "EXTNAME", "DETECT", "flagi wykrycia: 1 wykryty, 0 nie", &status) != 0) return false;
  const std::size_t width = static_cast<std::size_t>(pair.width);
  std::vector<unsigned char> row(width);
  for (std::int32_t j = 0; j < pair.height; ++j) {
    const std::uint16_t* codes = pair.codes.data() + width * static_cast<std::size_t>(pair.height - 1 - j);
    for (std::size_t x = 0; x < width; ++x) row[x] = is_flagged(codes[x]) ? 1 : 0;
    long first[2] = {1, j + 1};
    if (fits_write_pix(f, TBYTE, first, static_cast<LONGLONG>(width), row.data(), &status) != 0) return false;
  }
  return true;
}

bool write_sources(fitsfile* f, const ResultPair& pair, std::span<const Source> sources) {
  std::vector<Column> columns = {
      {"X", "1D", "pixel"}, {"Y", "1D", "pixel"}, {"NPIX", "1J", ""}, {"PEAK", "1D", ""}, {"FLUX", "1D", ""},
  };
  std::vector<char*> names, forms, units;
  for (Column& c : columns) {
    names.push_back(c.name.data());
    forms.push_back(c.form.data());
    units.push_back(c.unit.data());
  }
  int status = 0;
  const auto rows = static_cast<LONGLONG>(sources.size());
  if (fits_create_tbl(f, BINARY_TBL, rows, static_cast<int>(columns.size()), names.data(), forms.data(),
                      units.data(), "SOURCES", &status) != 0)
    return false;
  if (rows == 0) return true;

  std::vector<double> x, y, peak, flux;
  std::vector<std::int32_t> npix;
  for (const Source& s : sources) {
    x.push_back(fits_x(s));
    y.push_back(fits_y(s, pair.height));
    npix.push_back(s.pixels);
    peak.push_back(steps_to_mean(s.peak_steps));
    flux.push_back(steps_to_mean(s.sum_steps));
  }
  if (fits_write_col(f, TDOUBLE, 1, 1, 1, rows, x.data(), &status) != 0) return false;
  if (fits_write_col(f, TDOUBLE, 2, 1, 1, rows, y.data(), &status) != 0) return false;
  if (fits_write_col(f, TINT, 3, 1, 1, rows, npix.data(), &status) != 0) return false;
  if (fits_write_col(f, TDOUBLE, 4, 1, 1, rows, peak.data(), &status) != 0) return false;
  if (fits_write_col(f, TDOUBLE, 5, 1, 1, rows, flux.data(), &status) != 0) return false;
  return true;
}

}  // namespace

std::string printable_ascii(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      text += "\\\\";
    } else if (byte >= 0x20 && byte <= 0x7E) {
      text += c;
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      text += escaped;
    }
  }
  return text;
}

namespace {

// The bytes a FITS file of the pair takes, near enough to make one
// allocation of the buffer the usual case: three header blocks, the two
// images and the table, each padded to the FITS block.
std::size_t fits_size_guess(const ResultPair& pair, std::size_t sources) {
  constexpr std::size_t kBlock = 2880;
  const auto padded = [](std::size_t bytes) { return (bytes + kBlock - 1) / kBlock * kBlock; };
  const std::size_t pixels = static_cast<std::size_t>(pair.width) * static_cast<std::size_t>(pair.height);
  return 3 * kBlock + padded(4 * pixels) + padded(pixels) + padded(36 * sources);
}

}  // namespace

bool write_fits(const std::string& path, const ResultPair& pair, std::span<const Source> sources,
                std::int64_t detected, const std::string& creator) {
  return fits::write_fits_file(path, fits_size_guess(pair, sources.size()), [&](fitsfile* f) {
    return write_primary(f, pair, sources, detected, creator) && write_detections(f, pair) &&
           write_sources(f, pair, sources);
  });
}

}  // namespace kadrix::inspect
