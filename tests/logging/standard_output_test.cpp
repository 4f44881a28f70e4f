#include <gtest/gtest.h>

#include <string>

#include "logging/standard_output.h"

namespace tarnel {
namespace {

TEST(JournalForm, EachLineOnceWithThePriorityOfItsEntry) {
  struct Case {
    std::string line;
    std::string form;
  };
  const std::string time = "2026/12/10 12:00:00";
  const Case cases[] = {
      {time + " | UPDATER | ERROR   | a\n", "<3>" + time + " | UPDATER | ERROR   | a\n"},
      {time + " | UPDATER | WARNING | a\n", "<4>" + time + " | UPDATER | WARNING | a\n"},
      {time + " | UPDATER | INFO    | a\n", "<6>" + time + " | UPDATER | INFO    | a\n"},
      {time + " | UPDATER | VERBOSE | a\n", "<7>" + time + " | UPDATER | VERBOSE | a\n"},
      {time + " | UPDATER | SENSITIVE | a\n", "<7>" + time + " | UPDATER | SENSITIVE | a\n"},
      // A text that only mentions a level does not take its priority.
      {time + " | UPDATER | INFO    | ERROR   | x\n", "<6>" + time + " | UPDATER | INFO    | ERROR   | x\n"},
      // A styled command spans lines: each becomes a record of the entry's priority.
      {time + " | UPDATER | SENSITIVE | received: {\n\t\"type\" : \"x\"\n}\n",
       "<7>" + time + " | UPDATER | SENSITIVE | received: {\n<7>\t\"type\" : \"x\"\n<7>}\n"},
      // The start-up report is no entry: its lines are INFO, and empty lines are left out.
      {"Version Tarnel updater: 1.0 x86_64\n\nCPU type : x\n",
       "<6>Version Tarnel updater: 1.0 x86_64\n<6>CPU type : x\n"},
      {"Error Logging", "<6>Error Logging\n"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(JournalForm(c.line), c.form) << c.line;
}

}  // namespace
}  // namespace tarnel
