// The README's recipes, run as an operator would paste them, on reports of
// the bundled example: a recipe that stops working fails here. The reports
// are runs on single flow files, so each holds the line "File" that every
// recipe must skip.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e.h"

namespace {

// By hand from examples/flows: the report of each flow file alone.
const char* const REPORT_0900 =
    "File\n"
    "192.0.2.200 6000 9000 10 10 1795942805 1795942806 0 0 DEFAULT\n"
    "192.0.2.10 62000 1530000 920 1225 1795942812 1795942870 1000000 20000 acme\n"
    "192.0.2.11 12000 400000 200 300 1795942900 1795942960 0 0 acme\n";
const char* const REPORT_0905 =
    "File\n"
    "192.0.2.200 6000 9000 10 10 1795943130 1795943131 0 0 DEFAULT\n"
    "192.0.2.10 40000 1100000 600 900 1795943350 1795943399 0 0 acme\n"
    "203.0.113.77 1000000 900000 400 500 1795943100 1795943340 0 0 umbrella\n";

TEST(ReadmeRecipes, EachRecipeWorksOnTheExample) {
  TempDir dir;
  dir.write("our.nets", read_file(std::string(EXAMPLES_DIR) + "/our.nets"));
  dir.write("custs", read_file(std::string(EXAMPLES_DIR) + "/custs"));
  dir.write_flow("flow.0900", read_file(std::string(EXAMPLES_DIR) + "/flows/0900.txt"));
  dir.write_flow("flow.0905", read_file(std::string(EXAMPLES_DIR) + "/flows/0905.txt"));
  RunResult first = run_program(NETTALLY_BIN, {"nettally", "flow.0900"}, dir.path());
  RunResult second = run_program(NETTALLY_BIN, {"nettally", "flow.0905"}, dir.path());
  ASSERT_EQ(first.out, REPORT_0900);
  ASSERT_EQ(second.out, REPORT_0905);
  dir.mkdir("reports");
  dir.write("report", first.out);
  dir.write("reports/2026-11-28", first.out);
  dir.write("reports/2026-11-29", second.out);

  const std::vector<std::string> expected = {
      // top ten by bytes out, by bytes in, by both
      "192.0.2.10 62000 1530000 920 1225 1795942812 1795942870 1000000 20000 acme\n"
      "192.0.2.11 12000 400000 200 300 1795942900 1795942960 0 0 acme\n"
      "192.0.2.200 6000 9000 10 10 1795942805 1795942806 0 0 DEFAULT\n"
      "192.0.2.10 62000 1530000 920 1225 1795942812 1795942870 1000000 20000 acme\n"
      "192.0.2.11 12000 400000 200 300 1795942900 1795942960 0 0 acme\n"
      "192.0.2.200 6000 9000 10 10 1795942805 1795942806 0 0 DEFAULT\n"
      "1592000 192.0.2.10 acme\n"
      "412000 192.0.2.11 acme\n"
      "15000 192.0.2.200 DEFAULT\n",
      // per customer
      "acme 74000 1930000 2\n"
      "DEFAULT 6000 9000 1\n",
      // two days compared, then the owners
      "1900000 203.0.113.77 0 1900000\n"
      "0 192.0.2.200 15000 15000\n"
      "-412000 192.0.2.11 412000 0\n"
      "-452000 192.0.2.10 1592000 1140000\n"
      "2d1\n"
      "< 192.0.2.11 acme\n"
      "3a3\n"
      "> 203.0.113.77 umbrella\n",
  };
  std::vector<std::string> recipes = readme_blocks("### Recipes");
  ASSERT_EQ(recipes.size(), expected.size()) << "a recipe without its expected output here";
  for (size_t i = 0; i < recipes.size(); i++) {
    dir.write("recipe.sh", recipes[i]);
    RunResult r = run_program_once("/bin/sh", {"sh", "recipe.sh"}, dir.path());
    EXPECT_EQ(r.out, expected[i]) << recipes[i];
    EXPECT_EQ(r.err, "") << recipes[i];
  }
}

}  // namespace
