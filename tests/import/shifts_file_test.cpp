// The shifts file: RFC 4180 fields, the rows' fixed decimals and statuses,
// and the whole file as written.

#include "tools/import/shifts_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using kadrix::import::csv_field;
using kadrix::import::ShiftRow;
using kadrix::import::shifts_line;
using kadrix::import::ShiftStatus;

ShiftRow row(int frame, const char* source, std::int64_t index, double dx, double dy, ShiftStatus status) {
  ShiftRow r;
  r.frame = frame;
  r.source = source;
  r.index = index;
  r.dx = dx;
  r.dy = dy;
  r.status = status;
  return r;
}

TEST(ShiftsFile, FieldsAreQuotedOnlyWhenTheyMustBe) {
  const std::pair<std::string, std::string> cases[] = {
      {"m42.ser", "m42.ser"},
      {"", ""},
      {"dane/noc 1/m42.fits", "dane/noc 1/m42.fits"},
      {"a,b.ser", "\"a,b.ser\""},
      {"say \"hi\".ser", "\"say \"\"hi\"\".ser\""},
      {"line\nbreak", "\"line\nbreak\""},
      {"cr\rx", "\"cr\rx\""},
      {"\"", "\"\"\"\""},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(csv_field(text), want) << text;
}

TEST(ShiftsFile, RowsHoldThreeDecimalsAndTheStatus) {
  EXPECT_EQ(shifts_line(row(1, "m42.ser", 1, 0, 0, ShiftStatus::ok)), "1,m42.ser,1,0.000,0.000,ok\r\n");
  EXPECT_EQ(shifts_line(row(7, "a,b.fits", 12, -1.25, 3.001, ShiftStatus::ok)),
            "7,\"a,b.fits\",12,-1.250,3.001,ok\r\n");
  EXPECT_EQ(shifts_line(row(0, "m42.ser", 3, -0.0, 12.0, ShiftStatus::skipped)),
            ",m42.ser,3,0.000,12.000,pominieta\r\n");
  EXPECT_EQ(shifts_line(row(0, "m42.ser", 250, 0.5, -0.5, ShiftStatus::over_limit)),
            ",m42.ser,250,0.500,-0.500,ponad100\r\n");
}

TEST(ShiftsFile, TheFileIsTheHeaderAndOneLinePerRow) {
  kadrix_test::TempDir dir;
  const std::string path = dir.file("shifts.csv");
  kadrix_test::write_file(path, std::string("old text that is longer than the new file ......................"));
  const std::vector<ShiftRow> rows = {row(1, "x.ser", 1, 0, 0, ShiftStatus::ok),
                                      row(0, "x.ser", 2, 4.5, -2.125, ShiftStatus::skipped)};
  ASSERT_TRUE(kadrix::import::write_shifts(path, rows));
  const kadrix_test::Bytes bytes = kadrix_test::read_file(path);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
            "frame,source,index,dx,dy,status\r\n1,x.ser,1,0.000,0.000,ok\r\n,x.ser,2,4.500,-2.125,pominieta\r\n");
  EXPECT_FALSE(kadrix::import::write_shifts(dir.file("no/such/dir.csv"), rows));
}

}  // namespace
