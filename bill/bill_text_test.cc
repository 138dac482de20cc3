#include "bill/bill_text.h"

#include <gtest/gtest.h>

#include <string>

static const BillFigures SOME = {1234567890123, 42, 506, 506, 3, 522, 533, 16, 20, false};
static const BillFigures MAXED = {UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX,
                                  UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, true};

static std::string csv_row(const std::string& name, const BillFigures& f) {
  char buffer[BILL_CSV_ROW_MAX];
  size_t n = put_bill_csv_row(buffer, name.data(), name.size(), f);
  EXPECT_LE(n, sizeof buffer);
  return std::string(buffer, n);
}

TEST(BillCsv, QuotesOnlyWhereNeeded) {
  struct Case {
    std::string name, row;
  };
  const Case cases[] = {
      {"acme", "acme,1234567890123,42,506,506,3,522,533,16,20\n"},
      {"DEFAULT", "DEFAULT,1234567890123,42,506,506,3,522,533,16,20\n"},
      {"acme,inc", "\"acme,inc\",1234567890123,42,506,506,3,522,533,16,20\n"},
      {"say\"hi\"", "\"say\"\"hi\"\"\",1234567890123,42,506,506,3,522,533,16,20\n"},
      {"\"", "\"\"\"\",1234567890123,42,506,506,3,522,533,16,20\n"},
      {"a\rb", "\"a\rb\",1234567890123,42,506,506,3,522,533,16,20\n"},
      {"a\nb", "\"a\nb\",1234567890123,42,506,506,3,522,533,16,20\n"},
      // Neither a quote nor white space of CSV's: as they are.
      {"o'brien;x|y", "o'brien;x|y,1234567890123,42,506,506,3,522,533,16,20\n"},
      {"caf\xC3\xA9\xFF\x01", "caf\xC3\xA9\xFF\x01,1234567890123,42,506,506,3,522,533,16,20\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(csv_row(c.name, SOME), c.row) << c.name;
}

TEST(BillCsv, LongestRowFitsAndLongerNamesAreRefused) {
  std::string quotes(BILL_NAME_MAX, '"');
  std::string row = csv_row(quotes, MAXED);
  EXPECT_EQ(row.size(), BILL_CSV_ROW_MAX);
  EXPECT_EQ(row.substr(0, 402), "\"" + std::string(400, '"') + "\"");
  std::string tail;
  for (int i = 0; i < 9; i++) tail += ",18446744073709551615";
  EXPECT_EQ(row.substr(402), tail + "\n");
  char buffer[BILL_CSV_ROW_MAX];
  std::string longer(BILL_NAME_MAX + 1, 'a');
  EXPECT_EQ(put_bill_csv_row(buffer, longer.data(), longer.size(), SOME), 0u);
  EXPECT_EQ(put_series_csv_row(buffer, longer.data(), longer.size(), 1, 2, 3), 0u);
}

TEST(SeriesCsv, Rows) {
  char buffer[SERIES_CSV_ROW_MAX];
  size_t n = put_series_csv_row(buffer, "acme", 4, 1793491200, 4294967295, 0);
  EXPECT_EQ(std::string(buffer, n), "acme,1793491200,4294967295,0\n");
  n = put_series_csv_row(buffer, "a,\"b", 4, 0, 1, 2);
  EXPECT_EQ(std::string(buffer, n), "\"a,\"\"b\",0,1,2\n");
  std::string quotes(BILL_NAME_MAX, '"');
  n = put_series_csv_row(buffer, quotes.data(), quotes.size(), UINT64_MAX, UINT64_MAX, UINT64_MAX);
  EXPECT_EQ(n, SERIES_CSV_ROW_MAX);
  EXPECT_EQ(std::string(BILL_CSV_HEADER),
            "customer,bytes_in,bytes_out,billable_bps,p_in_bps,p_out_bps,p_sum_bps,peak_in_bps,peak_out_bps,"
            "active_intervals\n");
  EXPECT_EQ(std::string(SERIES_CSV_HEADER), "customer,interval_start,bytes_in,bytes_out\n");
}

static std::string json_string(const std::string& bytes) {
  std::string buffer(6 * bytes.size() + 2, '\0');
  size_t n = put_json_string(buffer.data(), bytes.data(), bytes.size());
  EXPECT_LE(n, buffer.size());
  return buffer.substr(0, n);
}

TEST(JsonString, EscapesAndUtf8) {
  struct Case {
    const char* what;
    std::string bytes, json;
  };
  const Case cases[] = {
      {"plain", "acme", "\"acme\""},
      {"empty", "", "\"\""},
      {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
      {"short escapes", "\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
      {"other controls", std::string("\x00\x01\x1F\x0B", 4), "\"\\u0000\\u0001\\u001F\\u000B\""},
      {"DEL passes", "\x7F", "\"\x7F\""},
      {"slash passes", "a/b", "\"a/b\""},
      {"two-byte UTF-8", "caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"three-byte UTF-8", "\xE2\x82\xAC", "\"\xE2\x82\xAC\""},
      {"four-byte UTF-8", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
      {"the last code point", "\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\""},
      {"U+FFFF", "\xEF\xBF\xBF", "\"\xEF\xBF\xBF\""},
      {"a lone continuation", "a\x80z", "\"a\\u0080z\""},
      {"a lone lead byte", "\xC3z", "\"\\u00C3z\""},
      {"cut at the end", "\xE2\x82", "\"\\u00E2\\u0082\""},
      {"overlong slash", "\xC0\xAF", "\"\\u00C0\\u00AF\""},
      {"overlong three", "\xE0\x80\xAF", "\"\\u00E0\\u0080\\u00AF\""},
      {"overlong four", "\xF0\x80\x80\xAF", "\"\\u00F0\\u0080\\u0080\\u00AF\""},
      {"a surrogate", "\xED\xA0\x80", "\"\\u00ED\\u00A0\\u0080\""},
      {"above U+10FFFF", "\xF4\x90\x80\x80", "\"\\u00F4\\u0090\\u0080\\u0080\""},
      {"F5 and FF", "\xF5\xFF", "\"\\u00F5\\u00FF\""},
      {"valid after invalid", "\xFF\xC3\xA9", "\"\\u00FF\xC3\xA9\""},
  };
  for (const Case& c : cases) EXPECT_EQ(json_string(c.bytes), c.json) << c.what;
  std::string worst(BILL_NAME_MAX, '\x01');
  EXPECT_EQ(json_string(worst).size(), 6 * BILL_NAME_MAX + 2);
}

TEST(BillJson, TheDocument) {
  char head[BILL_JSON_HEAD_MAX];
  size_t n = put_bill_json_head(head, Period{1793491200, 1796083200}, 300, 95, 8640);
  std::string doc(head, n);
  char object[BILL_JSON_OBJECT_MAX];
  n = put_bill_json_object(object, true, "a,\"b\"", 5, SOME);
  doc.append(object, n);
  BillFigures zero = {};
  n = put_bill_json_object(object, false, "DEFAULT", 7, zero);
  doc.append(object, n);
  doc += BILL_JSON_TAIL;
  EXPECT_EQ(doc,
            "{\"from\":1793491200,\"to\":1796083200,\"interval\":300,\"percentile\":95,\"intervals\":8640,"
            "\"customers\":["
            "{\"customer\":\"a,\\\"b\\\"\",\"bytes_in\":1234567890123,\"bytes_out\":42,\"billable_bps\":506,"
            "\"p_in_bps\":506,\"p_out_bps\":3,\"p_sum_bps\":522,\"peak_in_bps\":533,\"peak_out_bps\":16,"
            "\"active_intervals\":20},"
            "{\"customer\":\"DEFAULT\",\"bytes_in\":0,\"bytes_out\":0,\"billable_bps\":0,\"p_in_bps\":0,"
            "\"p_out_bps\":0,\"p_sum_bps\":0,\"peak_in_bps\":0,\"peak_out_bps\":0,\"active_intervals\":0}"
            "]}\n");
  // The largest head and object fit.
  n = put_bill_json_head(head, Period{UINT64_MAX, UINT64_MAX}, 86400, 100, UINT64_MAX);
  EXPECT_LT(n, BILL_JSON_HEAD_MAX);
  std::string worst(BILL_NAME_MAX, '\xFF');
  n = put_bill_json_object(object, false, worst.data(), worst.size(), MAXED);
  EXPECT_LE(n, BILL_JSON_OBJECT_MAX);
  EXPECT_EQ(std::string(object, 13), ",{\"customer\":");
  std::string longer(BILL_NAME_MAX + 1, 'a');
  EXPECT_EQ(put_bill_json_object(object, true, longer.data(), longer.size(), SOME), 0u);
}

TEST(SiText, RatesAndBytes) {
  struct Case {
    uint64_t value;
    const char* rate;
    const char* bytes;
  };
  const Case cases[] = {
      {0, "0 bit/s", "0 B"},
      {950, "950 bit/s", "950 B"},
      {999, "999 bit/s", "999 B"},
      {1000, "1.00 kbit/s", "1.00 kB"},
      {1004, "1.00 kbit/s", "1.00 kB"},
      {1005, "1.01 kbit/s", "1.01 kB"},  // half up
      {12345, "12.35 kbit/s", "12.35 kB"},
      {12344, "12.34 kbit/s", "12.34 kB"},
      {999994, "999.99 kbit/s", "999.99 kB"},
      {999995, "1.00 Mbit/s", "1.00 MB"},  // would be 1000.00 k
      {1000000, "1.00 Mbit/s", "1.00 MB"},
      {1204999, "1.20 Mbit/s", "1.20 MB"},
      {1205000, "1.21 Mbit/s", "1.21 MB"},
      {3456000000, "3.46 Gbit/s", "3.46 GB"},
      {3454999999, "3.45 Gbit/s", "3.45 GB"},
      {1020000000000, "1.02 Tbit/s", "1.02 TB"},
      {38345468009760, "38.35 Tbit/s", "38.35 TB"},
      {999995000000000, "1.00 Pbit/s", "1.00 PB"},
      {999994999999999999, "999.99 Pbit/s", "999.99 PB"},
      {999995000000000000, "1.00 Ebit/s", "1.00 EB"},
      {UINT64_MAX, "18.45 Ebit/s", "18.45 EB"},
  };
  for (const Case& c : cases) {
    char buffer[SI_TEXT_MAX];
    size_t n = put_rate_si(buffer, c.value);
    EXPECT_EQ(std::string(buffer, n), c.rate) << c.value;
    n = put_bytes_si(buffer, c.value);
    EXPECT_EQ(std::string(buffer, n), c.bytes) << c.value;
  }
}
