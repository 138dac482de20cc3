#include "bill/bill_text.h"

#include <cstdio>
#include <cstring>

#include "flowformat/number_text.h"

static_assert(sizeof(unsigned long) == sizeof(uint64_t), "uint64_t prints with %lu");

static bool csv_needs_quotes(const char* name, size_t length) {
  for (size_t i = 0; i < length; i++) {
    char c = name[i];
    if (c == ',' || c == '"' || c == '\r' || c == '\n') return true;
  }
  return false;
}

static char* put_csv_name(char* p, const char* name, size_t length) {
  if (!csv_needs_quotes(name, length)) {
    memcpy(p, name, length);
    return p + length;
  }
  *p++ = '"';
  for (size_t i = 0; i < length; i++) {
    if (name[i] == '"') *p++ = '"';
    *p++ = name[i];
  }
  *p++ = '"';
  return p;
}

static char* put_field(char* p, uint64_t value) {
  *p++ = ',';
  return put_decimal(p, value);
}

size_t put_bill_csv_row(char* buffer, const char* name, size_t name_length, const BillFigures& f) {
  if (name_length > BILL_NAME_MAX) return 0;
  char* p = put_csv_name(buffer, name, name_length);
  const uint64_t fields[] = {f.bytes_in,  f.bytes_out,   f.billable_bps, f.p_in_bps,        f.p_out_bps,
                             f.p_sum_bps, f.peak_in_bps, f.peak_out_bps, f.active_intervals};
  for (uint64_t v : fields) p = put_field(p, v);
  *p++ = '\n';
  return size_t(p - buffer);
}

size_t put_series_csv_row(char* buffer, const char* name, size_t name_length, uint64_t interval_start,
                          uint64_t bytes_in, uint64_t bytes_out) {
  if (name_length > BILL_NAME_MAX) return 0;
  char* p = put_csv_name(buffer, name, name_length);
  p = put_field(p, interval_start);
  p = put_field(p, bytes_in);
  p = put_field(p, bytes_out);
  *p++ = '\n';
  return size_t(p - buffer);
}

size_t put_bill_json_head(char* buffer, Period period, uint32_t interval, uint32_t percentile, uint64_t intervals) {
  int n = snprintf(buffer, BILL_JSON_HEAD_MAX,
                   "{\"from\":%lu,\"to\":%lu,\"interval\":%u,\"percentile\":%u,\"intervals\":%lu,\"customers\":[",
                   period.from, period.to, interval, percentile, intervals);
  return n < 0 ? 0 : size_t(n);
}

size_t utf8_sequence_length(const uint8_t* p, size_t left) {
  uint8_t b = p[0];
  if (b < 0x80) return 1;
  size_t length;
  uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) low = 0xA0;  // no overlong forms
    if (b == 0xED) high = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) low = 0x90;  // no overlong forms
    if (b == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (left < length) return 0;
  if (p[1] < low || p[1] > high) return 0;
  for (size_t i = 2; i < length; i++)
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  return length;
}

size_t put_json_string(char* buffer, const char* bytes, size_t length) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  const uint8_t* s = reinterpret_cast<const uint8_t*>(bytes);
  char* p = buffer;
  *p++ = '"';
  size_t i = 0;
  while (i < length) {
    uint8_t b = s[i];
    char escape = 0;
    switch (b) {
      case '"': escape = '"'; break;
      case '\\': escape = '\\'; break;
      case '\b': escape = 'b'; break;
      case '\t': escape = 't'; break;
      case '\n': escape = 'n'; break;
      case '\f': escape = 'f'; break;
      case '\r': escape = 'r'; break;
      default: break;
    }
    if (escape) {
      *p++ = '\\';
      *p++ = escape;
      i++;
      continue;
    }
    size_t valid = b < 0x20 ? 0 : utf8_sequence_length(s + i, length - i);
    if (valid == 0) {
      memcpy(p, "\\u00", 4);
      p[4] = HEX[b >> 4];
      p[5] = HEX[b & 0xF];
      p += 6;
      i++;
      continue;
    }
    memcpy(p, s + i, valid);
    p += valid;
    i += valid;
  }
  *p++ = '"';
  return size_t(p - buffer);
}

static char* put_json_field(char* p, const char* key, uint64_t value) {
  size_t n = strlen(key);
  memcpy(p, key, n);
  return put_decimal(p + n, value);
}

size_t put_bill_json_object(char* buffer, bool first, const char* name, size_t name_length, const BillFigures& f) {
  if (name_length > BILL_NAME_MAX) return 0;
  char* p = buffer;
  if (!first) *p++ = ',';
  memcpy(p, "{\"customer\":", 12);
  p += 12;
  p += put_json_string(p, name, name_length);
  p = put_json_field(p, ",\"bytes_in\":", f.bytes_in);
  p = put_json_field(p, ",\"bytes_out\":", f.bytes_out);
  p = put_json_field(p, ",\"billable_bps\":", f.billable_bps);
  p = put_json_field(p, ",\"p_in_bps\":", f.p_in_bps);
  p = put_json_field(p, ",\"p_out_bps\":", f.p_out_bps);
  p = put_json_field(p, ",\"p_sum_bps\":", f.p_sum_bps);
  p = put_json_field(p, ",\"peak_in_bps\":", f.peak_in_bps);
  p = put_json_field(p, ",\"peak_out_bps\":", f.peak_out_bps);
  p = put_json_field(p, ",\"active_intervals\":", f.active_intervals);
  *p++ = '}';
  return size_t(p - buffer);
}

// The whole number below 1,000, else two decimals of the unit that leaves
// 1 to 999.99 after rounding; units[0] is the unit of 1.
static size_t put_si(char* buffer, uint64_t value, const char* const units[7]) {
  if (value < 1000) return size_t(snprintf(buffer, SI_TEXT_MAX, "%lu %s", value, units[0]));
  int unit = 1;
  uint64_t scale = 1000;  // 10^(3·unit)
  while (unit < 6 && value / scale >= 1000) {
    unit++;
    scale *= 1000;
  }
  // Hundredths of the unit, half up: in 128 bits, as value + half can pass 2^64.
  uint64_t step = scale / 100;
  uint64_t hundredths = uint64_t(((unsigned __int128){value} + step / 2) / step);
  if (hundredths >= 100000 && unit < 6) {
    unit++;
    step *= 1000;
    hundredths = uint64_t(((unsigned __int128){value} + step / 2) / step);
  }
  return size_t(snprintf(buffer, SI_TEXT_MAX, "%lu.%02lu %s", hundredths / 100, hundredths % 100, units[unit]));
}

size_t put_rate_si(char* buffer, uint64_t bits_per_second) {
  static constexpr const char* UNITS[7] = {"bit/s", "kbit/s", "Mbit/s", "Gbit/s", "Tbit/s", "Pbit/s", "Ebit/s"};
  return put_si(buffer, bits_per_second, UNITS);
}

size_t put_bytes_si(char* buffer, uint64_t bytes) {
  static constexpr const char* UNITS[7] = {"B", "kB", "MB", "GB", "TB", "PB", "EB"};
  return put_si(buffer, bytes, UNITS);
}
