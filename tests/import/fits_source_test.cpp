// The FITS source on bytes held in memory, as the fuzzer drives it: files
// the fuzzer found, kept in fuzz/.

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>

#include "import_support.h"
#include "tools/import/fits_source.h"

namespace {

// The tiles' column named past the table's one field (TFIELDS 1, TTYPE2
// COMPRESSED_DATA): cfitsio would take the tiles' places from no column at
// all, and once asked for 32 GB. Refused at the header, before any tile.
TEST(FitsFindings, TilesColumnNamedPastTheFieldsIsRefused) {
  const kadrix_test::Bytes bytes = kadrix_test::read_file(KADRIX_FUZZ_FINDINGS "/fits_tiles_column_past_the_fields.fits");
  kadrix::import::FitsMemory memory;
  kadrix::import::FitsInfo info;
  std::string why;
  EXPECT_FALSE(kadrix::import::read_fits_info(std::span<const std::uint8_t>(bytes.data(), bytes.size()), memory, info, why));
  EXPECT_EQ(why, "zly naglowek FITS (kod cfitsio 219)");
  EXPECT_EQ(memory.file, nullptr);
}

}  // namespace
