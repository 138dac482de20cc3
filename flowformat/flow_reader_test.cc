#include "flowformat/flow_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

namespace {

FlowReader reader;

std::vector<uint8_t> numbered_records(size_t n, size_t extra) {
  std::vector<uint8_t> bytes(n * FLOW_RECORD_SIZE + extra);
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = uint8_t(i * 7 + i / FLOW_RECORD_SIZE);
  return bytes;
}

struct Drained {
  std::vector<uint8_t> records;
  FlowReadStatus end;
  size_t trailing;
  int error;
};

Drained drain(int fd) {
  Drained d = {};
  flow_reader_start(&reader, fd);
  const uint8_t* recs;
  size_t count;
  FlowReadStatus st;
  while ((st = flow_reader_next(&reader, &recs, &count)) == FLOW_READ_RECORDS) {
    EXPECT_GE(count, 1u);
    d.records.insert(d.records.end(), recs, recs + count * FLOW_RECORD_SIZE);
  }
  d.end = st;
  d.trailing = reader.trailing;
  d.error = reader.error;
  // Once done, it stays done.
  EXPECT_EQ(flow_reader_next(&reader, &recs, &count), FLOW_READ_END);
  return d;
}

// A pipe fed in pieces of awkward sizes still yields whole records in order.
TEST(FlowReader, PipeInPieces) {
  for (size_t extra : {size_t{0}, size_t{1}, size_t{56}}) {
    std::vector<uint8_t> bytes = numbered_records(10000, extra);  // more than one chunk
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::thread writer([&] {
      size_t done = 0, piece = 1;
      while (done < bytes.size()) {
        size_t n = std::min(piece, bytes.size() - done);
        ASSERT_EQ(write(p[1], bytes.data() + done, n), ssize_t(n));
        done += n;
        piece = piece * 3 % 10007 + 1;
      }
      close(p[1]);
    });
    Drained d = drain(p[0]);
    writer.join();
    close(p[0]);
    size_t whole = bytes.size() - extra;
    EXPECT_EQ(d.records, std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(whole)));
    EXPECT_EQ(d.end, extra ? FLOW_READ_PARTIAL : FLOW_READ_END);
    EXPECT_EQ(d.trailing, extra);
  }
}

TEST(FlowReader, RegularFiles) {
  struct {
    size_t records, extra;
  } cases[] = {{0, 0}, {0, 30}, {1, 0}, {FLOW_READ_CHUNK_RECORDS, 0}, {FLOW_READ_CHUNK_RECORDS, 56},
               {FLOW_READ_CHUNK_RECORDS + 1, 1}};
  for (const auto& c : cases) {
    char path[] = "/tmp/flow_reader_test.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    std::vector<uint8_t> bytes = numbered_records(c.records, c.extra);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    lseek(fd, 0, SEEK_SET);
    Drained d = drain(fd);
    close(fd);
    EXPECT_EQ(d.records.size(), c.records * FLOW_RECORD_SIZE);
    EXPECT_TRUE(std::equal(d.records.begin(), d.records.end(), bytes.begin()));
    EXPECT_EQ(d.end, c.extra ? FLOW_READ_PARTIAL : FLOW_READ_END);
    EXPECT_EQ(d.trailing, c.extra);
  }
}

TEST(FlowReader, ReadErrorIsToldApart) {
  int fd = open("/", O_RDONLY);
  ASSERT_GE(fd, 0);
  Drained d = drain(fd);
  close(fd);
  EXPECT_EQ(d.end, FLOW_READ_ERROR);
  EXPECT_EQ(d.error, EISDIR);
  EXPECT_TRUE(d.records.empty());
}

TEST(ReadFull, StopsOnlyAtEndOfFile) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::thread writer([&] {
    for (int i = 0; i < 100; i++) ASSERT_EQ(write(p[1], "abc", 3), 3);
    close(p[1]);
  });
  uint8_t buf[400];
  EXPECT_EQ(read_full(p[0], buf, 272), 272);
  EXPECT_EQ(read_full(p[0], buf, 272), 28);
  EXPECT_EQ(read_full(p[0], buf, 272), 0);
  writer.join();
  close(p[0]);
}

}  // namespace
