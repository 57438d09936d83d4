// The doctor's findings: rows of check, result and mark, printed as one
// Markdown table that the workflow's experiment reads by the checks' names.
#pragma once

#include <string>
#include <vector>

enum class Mark { info, yes, no };

struct Row {
  std::string check;
  std::string result;
  Mark mark;
};

struct Report {
  std::vector<Row> rows;
  bool failed = false;  // a row is marked no
};

/// Appends a row; one marked no fails the report.
void add(Report& report, std::string check, std::string result, Mark mark = Mark::info);

/// Prints the table and the one-line outcome to standard output.
void print(const Report& report);
