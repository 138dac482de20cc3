#include "bill/graph.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bill/bill_text.h"

static_assert(sizeof(unsigned long) == sizeof(uint64_t), "uint64_t prints with %lu");

// The picture: the plot area and the margins that hold the axes' labels.
constexpr int64_t GRAPH_WIDTH = 1200;
constexpr int64_t GRAPH_HEIGHT = 560;
constexpr int64_t PLOT_LEFT = 100;
constexpr int64_t PLOT_RIGHT = 1170;
constexpr int64_t PLOT_TOP = 90;
constexpr int64_t PLOT_BOTTOM = 500;
constexpr int64_t PLOT_WIDTH = PLOT_RIGHT - PLOT_LEFT;
constexpr int64_t PLOT_HEIGHT = PLOT_BOTTOM - PLOT_TOP;
constexpr int TIME_TICKS_MAX = 12;
constexpr const char* IN_COLOUR = "#2a7f3f";
constexpr const char* OUT_COLOUR = "#1f5fbf";
constexpr const char* BILLABLE_COLOUR = "#c62828";

// Room for at least n more bytes. Exits 1 when the memory cannot be had.
static void graph_reserve(GraphBuffer* buffer, size_t n) {
  if (buffer->capacity - buffer->length >= n) return;
  size_t capacity = buffer->capacity < 65536 ? 65536 : buffer->capacity;
  while (capacity - buffer->length < n) capacity *= 2;
  void* p = realloc(buffer->bytes, capacity);
  if (!p) {
    perror("Making a graph");
    exit(1);
  }
  buffer->bytes = static_cast<char*>(p);
  buffer->capacity = capacity;
}

void graph_append(GraphBuffer* buffer, const char* bytes, size_t n) {
  graph_reserve(buffer, n);
  memcpy(buffer->bytes + buffer->length, bytes, n);
  buffer->length += n;
}

void graph_buffer_free(GraphBuffer* buffer) {
  free(buffer->bytes);
  *buffer = {};
}

// Formats straight into the buffer; a piece longer than the room left is
// formatted again once the room is there.
__attribute__((format(printf, 2, 3))) static void graph_printf(GraphBuffer* buffer, const char* fmt, ...) {
  graph_reserve(buffer, 256);
  for (int attempt = 0; attempt < 2; attempt++) {
    size_t room = buffer->capacity - buffer->length;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buffer->bytes + buffer->length, room, fmt, ap);
    va_end(ap);
    if (n < 0) return;  // no conversion here can fail
    if (size_t(n) < room) {
      buffer->length += size_t(n);
      return;
    }
    graph_reserve(buffer, size_t(n) + 1);
  }
}

// The name as XML character data: & < > " ' as entities, valid UTF-8 as
// it is, control bytes and bytes of no valid sequence as %XX, since XML
// allows neither.
static void append_xml_name(GraphBuffer* svg, const char* name, size_t length) {
  const uint8_t* s = reinterpret_cast<const uint8_t*>(name);
  size_t i = 0;
  while (i < length) {
    uint8_t b = s[i];
    const char* entity = nullptr;
    switch (b) {
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '"': entity = "&quot;"; break;
      case '\'': entity = "&apos;"; break;
      default: break;
    }
    if (entity) {
      graph_append(svg, entity, strlen(entity));
      i++;
      continue;
    }
    size_t valid = b < 0x20 || b == 0x7F ? 0 : utf8_sequence_length(s + i, length - i);
    if (valid == 0) {
      graph_printf(svg, "%%%02X", unsigned{b});
      i++;
      continue;
    }
    graph_append(svg, name + i, valid);
    i += valid;
  }
}

// The top of the rate axis and its step: the step is the smallest 1, 2 or
// 5 · 10^j bit/s of which five reach the peak, the top a whole number of
// steps at or above it.
struct RateAxis {
  uint64_t top;
  uint64_t step;
};
static RateAxis rate_axis(uint64_t peak) {
  const uint64_t mantissas[3] = {1, 2, 5};
  for (uint64_t power = 1;; power *= 10) {
    for (uint64_t m : mantissas) {
      uint64_t step = m * power;
      if (step >= peak / 5 + (peak % 5 != 0)) {
        uint64_t ticks = peak / step + (peak % step != 0);
        if (ticks == 0) ticks = 1;
        uint64_t top;
        if (__builtin_mul_overflow(ticks, step, &top)) top = UINT64_MAX;  // rates near 2^64
        return {top, step};
      }
    }
    // 5 · 10^18 reaches a fifth of any 64-bit rate, so this is never met.
    if (power > UINT64_MAX / 100) return {UINT64_MAX, UINT64_MAX / 5};
  }
}

static int64_t rate_y(uint64_t rate, uint64_t top) {
  if (rate >= top) return PLOT_TOP;
  return PLOT_BOTTOM - int64_t((unsigned __int128){rate} * PLOT_HEIGHT / top);
}

static int64_t time_x(uint64_t t, Period period) {
  uint64_t span = period.to - period.from;
  return PLOT_LEFT + int64_t((unsigned __int128){t - period.from} * PLOT_WIDTH / span);
}

// A series' path as it is written: the pen, and the pixel column being
// gathered with its highest and lowest point (the smaller y is the higher
// rate), the interval where each was first reached, and its last point.
struct SeriesPen {
  int64_t x;  // a run of equal y is one H, written when it ends
  int64_t y;
  int64_t column_x;
  int64_t top_y, bottom_y, last_y;
  uint64_t top_at, bottom_at;
};

// Draws the gathered column: to its first extreme, its other extreme,
// then its last point, each only where the pen is not there yet.
static void draw_column(GraphBuffer* svg, SeriesPen* pen) {
  const bool top_first = pen->top_at <= pen->bottom_at;
  const int64_t steps[3] = {top_first ? pen->top_y : pen->bottom_y, top_first ? pen->bottom_y : pen->top_y,
                            pen->last_y};
  for (int64_t target : steps) {
    if (target == pen->y) continue;
    if (pen->x != pen->column_x) {
      graph_printf(svg, "H%ld", pen->column_x);
      pen->x = pen->column_x;
    }
    graph_printf(svg, "V%ld", target);
    pen->y = target;
  }
}

// One series as one path: a step line while intervals are wider than a
// pixel; where several share a pixel column, only their first extreme,
// the other extreme and the last value are drawn in it, so the size is
// bounded by the width; a run of equal values is one horizontal step.
static void append_series(GraphBuffer* svg, const uint64_t* bytes, const GraphInput& g, uint64_t top,
                          const char* colour) {
  graph_printf(svg, "<path fill=\"none\" stroke=\"%s\" stroke-width=\"1\" d=\"", colour);
  bool overflow = false;  // a rate past 2^64-1 is drawn at the top
  int64_t first_y = rate_y(interval_rate(bytes[0], g.interval, &overflow), top);
  graph_printf(svg, "M%ld,%ld", PLOT_LEFT, first_y);
  SeriesPen pen = {PLOT_LEFT, first_y, PLOT_LEFT, first_y, first_y, first_y, 0, 0};
  for (uint64_t k = 0; k < g.n; k++) {
    int64_t x = PLOT_LEFT + int64_t((unsigned __int128){k} * PLOT_WIDTH / g.n);
    int64_t v = rate_y(interval_rate(bytes[k], g.interval, &overflow), top);
    if (x != pen.column_x) {
      draw_column(svg, &pen);
      pen.column_x = x;
      pen.top_y = pen.bottom_y = v;
      pen.top_at = pen.bottom_at = k;
    }
    if (v < pen.top_y) {
      pen.top_y = v;
      pen.top_at = k;
    }
    if (v > pen.bottom_y) {
      pen.bottom_y = v;
      pen.bottom_at = k;
    }
    pen.last_y = v;
  }
  draw_column(svg, &pen);
  graph_printf(svg, "H%ld\"/>\n", PLOT_RIGHT);
}

static const char* ordinal_suffix(uint32_t n) {
  if (n % 100 >= 11 && n % 100 <= 13) return "th";
  switch (n % 10) {
    case 1: return "st";
    case 2: return "nd";
    case 3: return "rd";
    default: return "th";
  }
}

// A percentile's dashed line across the plot, and its value in a label
// at label_y, white-edged so that it reads over the series.
static void append_level(GraphBuffer* svg, uint64_t rate, uint64_t top, const char* colour, int64_t label_y,
                         const char* label, uint32_t percentile) {
  char text[SI_TEXT_MAX];
  size_t n = put_rate_si(text, rate);
  int64_t y = rate_y(rate, top);
  graph_printf(svg, "<path stroke=\"%s\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\" d=\"M%ld,%ldH%ld\"/>\n",
               colour, PLOT_LEFT, y, PLOT_RIGHT);
  graph_printf(svg,
               "<text x=\"%ld\" y=\"%ld\" fill=\"%s\" stroke=\"white\" stroke-width=\"3\" paint-order=\"stroke\">"
               "%s %u%s percentile: %.*s</text>\n",
               PLOT_LEFT + 20, label_y, colour, label, percentile, ordinal_suffix(percentile), int(n), text);
}

static void append_rate_axis(GraphBuffer* svg, RateAxis axis) {
  graph_printf(svg, "<g font-size=\"11\" text-anchor=\"end\">\n");
  for (uint64_t r = 0;; r += axis.step) {
    char text[SI_TEXT_MAX];
    size_t n = put_rate_si(text, r);
    int64_t y = rate_y(r, axis.top);
    graph_printf(svg, "<path stroke=\"#dddddd\" d=\"M%ld,%ldH%ld\"/>", PLOT_LEFT, y, PLOT_RIGHT);
    graph_printf(svg, "<text x=\"%ld\" y=\"%ld\">%.*s</text>\n", PLOT_LEFT - 6, y + 4, int(n), text);
    if (r >= axis.top || axis.top - r < axis.step) break;
  }
  graph_printf(svg, "</g>\n");
}

static int64_t offset_at(uint64_t t) {
  time_t x = time_t(t);
  struct tm local = {};
  localtime_r(&x, &local);
  return local.tm_gmtoff;
}

// A tick's label: its date for ticks a day or more apart, else its time
// of day, with the date too when the period is longer than a day.
static size_t put_tick_label(char* label, size_t size, uint64_t step, uint64_t span, const struct tm* local) {
  if (step >= 86400) return strftime(label, size, "%Y-%m-%d", local);
  if (span > 86400) return strftime(label, size, "%m-%d %H:%M", local);
  return strftime(label, size, "%H:%M", local);
}

// The time axis: ticks at local wall-clock multiples of a step from a
// minute to a week, the smallest that gives at most TIME_TICKS_MAX; a day
// or more from local midnights, by the calendar (a day around a change of
// offset has its 23 or 25 hours).
static void append_time_axis(GraphBuffer* svg, Period period) {
  static constexpr uint64_t STEPS[] = {60,   300,   600,   900,   1800,   3600,   7200,    10800,
                                       21600, 43200, 86400, 172800, 345600, 604800, 1209600, 2419200};
  const uint64_t span = period.to - period.from;
  uint64_t step = STEPS[sizeof STEPS / sizeof STEPS[0] - 1];
  for (uint64_t s : STEPS) {
    if (span / s <= TIME_TICKS_MAX) {
      step = s;
      break;
    }
  }
  graph_printf(svg, "<g font-size=\"11\" text-anchor=\"middle\">\n");
  int ticks = 0;
  if (step < 86400) {
    // The first wall-clock multiple of the step at or after the start; a
    // change of offset within the period moves the later ticks with it.
    const int64_t offset = offset_at(period.from);
    const int64_t wall = int64_t(period.from) + offset;
    const int64_t s = int64_t(step);
    const int64_t first_wall = wall >= 0 ? (wall + s - 1) / s * s : wall / s * s;
    uint64_t t = uint64_t(first_wall - offset);
    for (; t < period.to && ticks < 2 * TIME_TICKS_MAX; t += step, ticks++) {
      time_t x = time_t(t);
      struct tm local = {};
      localtime_r(&x, &local);
      char label[64];
      size_t n = put_tick_label(label, sizeof label, step, span, &local);
      int64_t px = time_x(t, period);
      graph_printf(svg, "<path stroke=\"#dddddd\" d=\"M%ld,%ldV%ld\"/>", px, PLOT_TOP, PLOT_BOTTOM);
      graph_printf(svg, "<text x=\"%ld\" y=\"%ld\">%.*s</text>\n", px, PLOT_BOTTOM + 18, int(n), label);
    }
  } else {
    time_t x = time_t(period.from);
    struct tm day = {};
    localtime_r(&x, &day);
    bool midnight = day.tm_hour == 0 && day.tm_min == 0 && day.tm_sec == 0;
    day.tm_hour = day.tm_min = day.tm_sec = 0;
    if (!midnight) day.tm_mday++;
    int days = int(step / 86400);
    for (; ticks < 2 * TIME_TICKS_MAX; ticks++) {
      struct tm probe = day;
      probe.tm_isdst = -1;
      time_t at = mktime(&probe);
      if (at < 0 || uint64_t(at) >= period.to) break;
      char label[64];
      size_t n = put_tick_label(label, sizeof label, step, span, &probe);
      int64_t px = time_x(uint64_t(at), period);
      graph_printf(svg, "<path stroke=\"#dddddd\" d=\"M%ld,%ldV%ld\"/>", px, PLOT_TOP, PLOT_BOTTOM);
      graph_printf(svg, "<text x=\"%ld\" y=\"%ld\">%.*s</text>\n", px, PLOT_BOTTOM + 18, int(n), label);
      day.tm_mday += days;
    }
  }
  graph_printf(svg, "</g>\n");
}

void write_graph_svg(GraphBuffer* svg, const GraphInput& g) {
  const BillFigures& f = g.figures;
  uint64_t peak = f.peak_in_bps > f.peak_out_bps ? f.peak_in_bps : f.peak_out_bps;
  RateAxis axis = rate_axis(peak);
  graph_printf(svg,
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%ld\" height=\"%ld\" viewBox=\"0 0 %ld %ld\" "
               "font-family=\"sans-serif\" font-size=\"13\">\n"
               "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
               GRAPH_WIDTH, GRAPH_HEIGHT, GRAPH_WIDTH, GRAPH_HEIGHT);
  graph_printf(svg, "<text x=\"%ld\" y=\"24\" font-size=\"16\" font-weight=\"bold\">", PLOT_LEFT);
  append_xml_name(svg, g.name, g.name_length);
  char from[64] = "", to[64] = "";
  time_t t = time_t(g.period.from);
  struct tm local = {};
  localtime_r(&t, &local);
  strftime(from, sizeof from, "%Y-%m-%d %H:%M %Z", &local);
  t = time_t(g.period.to);
  localtime_r(&t, &local);
  strftime(to, sizeof to, "%Y-%m-%d %H:%M %Z", &local);
  graph_printf(svg, "</text>\n<text x=\"%ld\" y=\"44\">%s to %s, %lu intervals of %u s</text>\n", PLOT_LEFT, from,
               to, g.n, g.interval);
  char billable[SI_TEXT_MAX];
  size_t billable_length = put_rate_si(billable, f.billable_bps);
  graph_printf(svg, "<text x=\"%ld\" y=\"70\" fill=\"%s\" font-weight=\"bold\">billable: %.*s</text>\n", PLOT_LEFT,
               BILLABLE_COLOUR, int(billable_length), billable);
  graph_printf(svg, "<text x=\"%ld\" y=\"70\" fill=\"%s\">in</text><text x=\"%ld\" y=\"70\" fill=\"%s\">out</text>\n",
               PLOT_RIGHT - 90, IN_COLOUR, PLOT_RIGHT - 50, OUT_COLOUR);

  append_rate_axis(svg, axis);
  if (g.n > 0 && g.period.to > g.period.from) {
    append_time_axis(svg, g.period);
    // In over out: transit customers mostly send less than they take.
    append_series(svg, g.out, g, axis.top, OUT_COLOUR);
    append_series(svg, g.in, g, axis.top, IN_COLOUR);
  }
  append_level(svg, f.p_in_bps, axis.top, IN_COLOUR, PLOT_TOP + 18, "in", g.percentile);
  append_level(svg, f.p_out_bps, axis.top, OUT_COLOUR, PLOT_TOP + 34, "out", g.percentile);
  int64_t y = rate_y(f.billable_bps, axis.top);
  graph_printf(svg, "<path stroke=\"%s\" stroke-width=\"2\" d=\"M%ld,%ldH%ld\"/>\n", BILLABLE_COLOUR, PLOT_LEFT, y,
               PLOT_RIGHT);
  graph_printf(svg,
               "<text x=\"%ld\" y=\"%ld\" fill=\"%s\" text-anchor=\"end\" font-weight=\"bold\" stroke=\"white\" "
               "stroke-width=\"3\" paint-order=\"stroke\">billable %.*s</text>\n",
               PLOT_RIGHT - 4, y - 5 < PLOT_TOP + 12 ? PLOT_TOP + 12 : y - 5, BILLABLE_COLOUR, int(billable_length),
               billable);
  graph_printf(svg, "<path fill=\"none\" stroke=\"black\" d=\"M%ld,%ldV%ldH%ld\"/>\n</svg>\n", PLOT_LEFT, PLOT_TOP,
               PLOT_BOTTOM, PLOT_RIGHT);
}

size_t put_graph_file_name(char* buffer, const char* name, size_t name_length) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  char* p = buffer;
  for (size_t i = 0; i < name_length && i < 200; i++) {
    uint8_t b = uint8_t(name[i]);
    bool plain = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '.' ||
                 b == '_' || b == '-';
    if (plain) {
      *p++ = char(b);
    } else {
      *p++ = '%';
      *p++ = HEX[b >> 4];
      *p++ = HEX[b & 0xF];
    }
  }
  memcpy(p, ".svg", 5);
  return size_t(p - buffer) + 4;
}
