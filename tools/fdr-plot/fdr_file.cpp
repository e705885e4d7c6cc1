#include "fdr_file.h"

#include <sstream>

namespace talmeris::fdrplot {

std::optional<Record> ParseRecord(const std::string& line) {
  // Commas separate the column groups, blanks their members: both are just separators here.
  if (line.size() < 10 || line.find(',') == std::string::npos) return std::nullopt;
  std::string spaced = line;
  for (char& c : spaced) {
    if (c == ',' || c == '\r') c = ' ';
  }
  std::istringstream in(spaced);
  Record r;
  in >> r.time >> r.event >> r.attach;
  for (double& v : r.position) in >> v;
  for (double& v : r.velocity) in >> v;
  in >> r.fuel_kg;
  for (double& v : r.orientation) in >> v;
  for (int& v : r.rates) in >> v;
  for (int& v : r.thrust) in >> v;
  for (int& v : r.controls) in >> v;
  in >> r.altitude_km;
  if (in.fail()) return std::nullopt;
  std::string rest;
  if (in >> rest) return std::nullopt;  // more than a record holds
  return r;
}

std::vector<Record> ReadRecords(std::istream& in) {
  std::vector<Record> records;
  for (std::string line; std::getline(in, line);) {
    if (auto r = ParseRecord(line)) records.push_back(*r);
  }
  return records;
}

}  // namespace talmeris::fdrplot
