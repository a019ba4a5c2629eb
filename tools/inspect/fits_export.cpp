#include "tools/inspect/fits_export.h"

#include <fitsio.h>

#include <cstdio>
#include <algorithm>
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

// The catalogue's layout: SOURCES' columns and the extensions after it.
constexpr long kCatalogueVersion = 2;

bool write_primary(fitsfile* f, const ResultPair& pair, std::span<const Source> sources,
                   const CatalogueOptions& options, std::int64_t detected, const std::string& creator) {
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
  if (fits_write_key_dbl(f, "SATURATE", options.saturate, -17, "szczyt od tej wartosci: nasycenie", &status) != 0)
    return false;
  if (options.gain &&
      fits_write_key_dbl(f, "GAIN", *options.gain, -17, "elektrony na jednostke sredniej", &status) != 0)
    return false;
  if (fits_write_key_lng(f, "KDXBACK", options.back_size, "bok oczka siatki tla", &status) != 0) return false;
  if (fits_write_key_lng(f, "KDXCATV", kCatalogueVersion, "wersja katalogu SOURCES", &status) != 0) return false;
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
      {"X", "1D", "pixel"},          {"Y", "1D", "pixel"},         {"NPIX", "1J", ""},
      {"PEAK", "1D", ""},            {"SUM", "1D", ""},            {"ID", "1J", ""},
      {"BACKGROUND", "1D", ""},      {"FLUX_ISO", "1D", ""},       {"FLUX_ISO_ERR", "1D", ""},
      {"SNR", "1D", ""},             {"FLUX_AUTO", "1D", ""},      {"FLUX_AUTO_ERR", "1D", ""},
      {"FWHM", "1D", "pixel"},       {"A", "1D", "pixel"},         {"B", "1D", "pixel"},
      {"THETA", "1D", "deg"},        {"ELONGATION", "1D", ""},     {"FLAGS", "1I", ""},
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

  // Values that cannot be defined are stored as NaN.
  std::vector<std::vector<double>> real(15);
  std::vector<std::int32_t> npix, id;
  std::vector<short> flags;
  for (std::size_t k = 0; k < sources.size(); ++k) {
    const Source& s = sources[k];
    const double values[15] = {fits_x(s),         fits_y(s, pair.height),
                               steps_to_mean(s.peak_steps), steps_to_mean(s.sum_steps),
                               s.background,      s.flux_iso,
                               s.flux_iso_err,    s.snr,
                               s.flux_auto,       s.flux_auto_err,
                               s.fwhm,            s.a,
                               s.b,               s.theta,
                               s.elongation};
    for (int c = 0; c < 15; ++c) real[static_cast<std::size_t>(c)].push_back(values[c]);
    npix.push_back(s.pixels);
    id.push_back(static_cast<std::int32_t>(k + 1));
    flags.push_back(static_cast<short>(s.flags));
  }
  // The real columns in table order, skipping NPIX (3), ID (6) and FLAGS (18).
  const int real_columns[15] = {1, 2, 4, 5, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
  for (int c = 0; c < 15; ++c) {
    if (fits_write_col(f, TDOUBLE, real_columns[c], 1, 1, rows, real[static_cast<std::size_t>(c)].data(), &status) !=
        0)
      return false;
  }
  if (fits_write_col(f, TINT, 3, 1, 1, rows, npix.data(), &status) != 0) return false;
  if (fits_write_col(f, TINT, 6, 1, 1, rows, id.data(), &status) != 0) return false;
  if (fits_write_col(f, TSHORT, 18, 1, 1, rows, flags.data(), &status) != 0) return false;
  return true;
}

// A map of the catalogue as a 32-bit float image, rows in FITS order.
bool write_map(fitsfile* f, const ResultPair& pair, std::span<const float> map, const char* name,
               const char* comment) {
  int status = 0;
  long axes[2] = {pair.width, pair.height};
  if (fits_create_img(f, FLOAT_IMG, 2, axes, &status) != 0) return false;
  if (fits_write_key_str(f, "EXTNAME", name, comment, &status) != 0) return false;
  const std::size_t width = static_cast<std::size_t>(pair.width);
  std::vector<float> row(width);
  for (std::int32_t j = 0; j < pair.height; ++j) {
    const float* from = map.data() + width * static_cast<std::size_t>(pair.height - 1 - j);
    std::copy(from, from + width, row.begin());
    long first[2] = {1, j + 1};
    if (fits_write_pix(f, TFLOAT, first, static_cast<LONGLONG>(width), row.data(), &status) != 0) return false;
  }
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
// allocation of the buffer the usual case: five header blocks, the two
// images, the table and the two maps, each padded to the FITS block.
std::size_t fits_size_guess(const ResultPair& pair, std::size_t sources) {
  constexpr std::size_t kBlock = 2880;
  const auto padded = [](std::size_t bytes) { return (bytes + kBlock - 1) / kBlock * kBlock; };
  const std::size_t pixels = static_cast<std::size_t>(pair.width) * static_cast<std::size_t>(pair.height);
  return 5 * kBlock + 3 * padded(4 * pixels) + padded(pixels) + padded(132 * sources);
}

}  // namespace

bool write_fits(const std::string& path, const ResultPair& pair, const Catalogue& catalogue,
                const CatalogueOptions& options, std::int64_t detected, const std::string& creator) {
  const std::span<const Source> sources = catalogue.sources;
  return fits::write_fits_file(path, fits_size_guess(pair, sources.size()), [&](fitsfile* f) {
    return write_primary(f, pair, sources, options, detected, creator) && write_detections(f, pair) &&
           write_sources(f, pair, sources) &&
           write_map(f, pair, catalogue.background.span(), "BACKGROUND", "tlo z siatki") &&
           write_map(f, pair, catalogue.rms.span(), "RMS", "RMS tla z siatki");
  });
}

}  // namespace kadrix::inspect
