#include "tools/doctor/report.h"

#include <cstdio>
#include <utility>

namespace {

// A table cell on one line: a '|' or a line break would end it early.
std::string cell(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    char escaped[8];
    if (c == '|')
      out += "\\|";
    else if (c == '\n')
      out += "\\n";
    else if (c < 0x20 || c == 0x7f) {
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else
      out += char(c);
  }
  return out;
}

}  // namespace

void add(Report& report, std::string check, std::string result, Mark mark) {
  report.failed = report.failed || mark == Mark::no;
  report.rows.push_back({std::move(check), std::move(result), mark});
}

void print(const Report& report) {
  std::printf("| check | result | ok |\n|---|---|---|\n");
  for (const Row& row : report.rows)
    std::printf("| %s | %s | %s |\n", row.check.c_str(), cell(row.result).c_str(),
                row.mark == Mark::yes ? "yes" : row.mark == Mark::no ? "no" : "");
  std::printf("\npalisade-doctor: %s\n", report.failed ? "FAIL (see the rows marked no)" : "pass");
}
