#include "bill/graph.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bill/figures.h"
#include "bill/zone_test_util.h"

class GraphTest : public ZoneTest {
 protected:
  static std::string svg_of(const std::string& name, const std::vector<uint64_t>& in,
                            const std::vector<uint64_t>& out, Period period, uint32_t interval) {
    std::vector<uint64_t> scratch(4 * in.size() + 1);
    GraphInput g = {};
    g.name = name.data();
    g.name_length = name.size();
    g.in = in.data();
    g.out = out.data();
    g.n = in.size();
    g.period = period;
    g.interval = interval;
    g.percentile = 95;
    g.figures = bill_figures(in.data(), out.data(), in.size(), interval, 95, scratch.data());
    GraphBuffer svg = {};
    write_graph_svg(&svg, g);
    std::string text(svg.bytes, svg.length);
    graph_buffer_free(&svg);
    EXPECT_EQ(svg.bytes, nullptr);
    return text;
  }
  // The d attributes of the document's paths with more than one step.
  static std::vector<std::string> series_paths(const std::string& svg) {
    std::vector<std::string> paths;
    for (size_t at = svg.find("fill=\"none\" stroke=\"#"); at != std::string::npos;
         at = svg.find("fill=\"none\" stroke=\"#", at + 1)) {
      size_t d = svg.find(" d=\"", at) + 4;
      paths.push_back(svg.substr(d, svg.find('"', d) - d));
    }
    return paths;
  }
};

TEST_F(GraphTest, StepLineOfFewIntervals) {
  zone("UTC");
  // 1,000 bit/s in the middle two of four one-second intervals: the axis
  // reaches 1,000 in steps of 200, x of interval k is 100 + k · 1070 / 4.
  std::string svg = svg_of("acme", {0, 125, 125, 0}, {0, 0, 0, 0}, Period{1000, 1004}, 1);
  std::vector<std::string> paths = series_paths(svg);
  ASSERT_EQ(paths.size(), 2u);  // in, out
  EXPECT_EQ(paths[0], "M100,500H1170");  // out, drawn first
  EXPECT_EQ(paths[1], "M100,500H367V90H902V500H1170");
  EXPECT_NE(svg.find(">800 bit/s</text>"), std::string::npos);
  EXPECT_NE(svg.find(">1.00 kbit/s</text>"), std::string::npos);
  EXPECT_NE(svg.find(">in 95th percentile: 1.00 kbit/s</text>"), std::string::npos);
  EXPECT_NE(svg.find(">out 95th percentile: 0 bit/s</text>"), std::string::npos);
  EXPECT_NE(svg.find(">billable: 1.00 kbit/s</text>"), std::string::npos);
  EXPECT_NE(svg.find(">billable 1.00 kbit/s</text>"), std::string::npos);
}

TEST_F(GraphTest, ManyIntervalsInAColumnKeepTheirExtremes) {
  zone("UTC");
  // 20 intervals on 1,070 pixels share none; 4,280 share each column by 4.
  std::vector<uint64_t> in(4280, 0), out(4280, 0);
  in[9] = 1000;  // column 2: 0, 1000, 0, 0
  std::string svg = svg_of("a", in, out, Period{0, 4280}, 1);
  std::vector<std::string> paths = series_paths(svg);
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[1], "M100,500H102V90V500H1170");
}

TEST_F(GraphTest, NamesAreEscapedAndFileNamesPercentEncoded) {
  zone("UTC");
  std::string name = "a<b&\"c'>\x01\xFF caf\xC3\xA9";
  std::string svg = svg_of(name, {1, 2}, {3, 4}, Period{0, 600}, 300);
  EXPECT_NE(svg.find(">a&lt;b&amp;&quot;c&apos;&gt;%01%FF caf\xC3\xA9</text>"), std::string::npos) << svg;

  struct Case {
    std::string name, file;
  };
  const Case cases[] = {
      {"acme", "acme.svg"},
      {"acme,inc", "acme%2Cinc.svg"},
      {"A-Z_a.z-09", "A-Z_a.z-09.svg"},
      {"a/b", "a%2Fb.svg"},
      {"..", "...svg"},
      {"caf\xC3\xA9", "caf%C3%A9.svg"},
      {"%", "%25.svg"},
      {"\"'", "%22%27.svg"},
  };
  for (const Case& c : cases) {
    char buffer[GRAPH_FILE_NAME_MAX];
    size_t n = put_graph_file_name(buffer, c.name.data(), c.name.size());
    EXPECT_EQ(std::string(buffer, n), c.file);
    EXPECT_EQ(buffer[n], '\0');
  }
  char buffer[GRAPH_FILE_NAME_MAX];
  std::string worst(200, ',');
  EXPECT_EQ(put_graph_file_name(buffer, worst.data(), worst.size()), GRAPH_FILE_NAME_MAX - 1);
}

static std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return "popen failed";
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  int status = pclose(p);
  if (status != 0) out += "\nexit status " + std::to_string(status);
  return out;
}

// A month of 5-minute intervals, busy in every one of them: small, and
// well-formed wherever the tools to check it are installed.
TEST_F(GraphTest, AMonthStaysSmallAndRenders) {
  zone("Europe/Berlin");
  Period october = {1790805600, 1793487600};  // 8,940 intervals: October has 25 hours one day
  std::mt19937_64 random(10);
  std::vector<uint64_t> in(8940), out(8940);
  for (size_t k = 0; k < in.size(); k++) {  // a day's swing, noise, and idle spells
    double day = 0.6 + 0.4 * std::sin(double(k % 288) / 288 * 6.283);
    in[k] = uint64_t(day * double(random() % 40000000));
    out[k] = k % 1000 < 30 ? 0 : uint64_t(day * double(100000000 + random() % 300000000));
  }
  std::string svg = svg_of("acme & \"sons\" \xFF", in, out, october, 300);
  EXPECT_LE(svg.size(), 200u * 1024);
  EXPECT_NE(svg.find(">2026-10-01</text>"), std::string::npos);  // the local midnight
  EXPECT_NE(svg.find("CEST to 2026-11-01 00:00 CET"), std::string::npos);
  for (const std::string& d : series_paths(svg)) EXPECT_EQ(d.find_first_not_of("MHV0123456789,"), std::string::npos);

  std::string file = testing::TempDir() + "bill_graph_month.svg";
  std::ofstream(file, std::ios::binary) << svg;
  if (system("command -v xmllint >/dev/null 2>&1") == 0) {
    EXPECT_EQ(run("xmllint --noout '" + file + "' 2>&1"), "");
  }
  if (system("command -v rsvg-convert >/dev/null 2>&1") != 0) GTEST_SKIP() << "rsvg-convert is not installed";
  EXPECT_EQ(run("rsvg-convert -o '" + file + ".png' '" + file + "' 2>&1"), "");
}

TEST_F(GraphTest, RatesNearTheTopOf64Bits) {
  zone("UTC");
  std::string svg = svg_of("big", {(uint64_t{1} << 61) - 1, 0}, {0, 1}, Period{0, 2}, 1);
  // 2^64 - 8 bit/s at rank 2 of 2; the axis, in steps of 5 Ebit/s, ends at
  // 2^64 - 1 rather than at 20 Ebit/s, which no 64-bit rate reaches.
  EXPECT_NE(svg.find(">billable: 18.45 Ebit/s</text>"), std::string::npos);
  EXPECT_NE(svg.find(">15.00 Ebit/s</text>"), std::string::npos);
  EXPECT_EQ(svg.find(">20.00 Ebit/s</text>"), std::string::npos);
  std::vector<std::string> paths = series_paths(svg);
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[1], "M100,91H635V500H1170");
}

TEST_F(GraphTest, NoTrafficAndNoIntervals) {
  zone("America/New_York");
  std::string svg = svg_of("idle", std::vector<uint64_t>(288, 0), std::vector<uint64_t>(288, 0),
                           Period{1793505600, 1793505600 + 288 * 300}, 300);
  EXPECT_NE(svg.find(">billable: 0 bit/s</text>"), std::string::npos);
  EXPECT_NE(svg.find("</svg>\n"), std::string::npos);
  svg = svg_of("empty", {}, {}, Period{0, 0}, 300);
  EXPECT_NE(svg.find("</svg>\n"), std::string::npos);
}
