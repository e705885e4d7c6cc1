// Reading a flight data file (fdr%03i.dat): the three header lines, then one record a line.
#pragma once

#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace talmeris::fdrplot {

struct Record {
  int time = 0;
  int event = 0;
  int attach = 0;
  double position[3] = {};
  double velocity[3] = {};
  double fuel_kg = 0;
  double orientation[4] = {};
  int rates[3] = {};  // yaw, pitch, roll; 32767 = 2 pi rad/s
  int thrust[3] = {};
  int controls[3] = {};  // rudder, elevator, aileron; 127 = full
  double altitude_km = 0;
};

// One record line; none for a line that is not one (the header, or anything damaged).
std::optional<Record> ParseRecord(const std::string& line);

// Every record of a file; lines that are not records are skipped.
std::vector<Record> ReadRecords(std::istream& in);

}  // namespace talmeris::fdrplot
