// Header fields as HTTP reads them: names at a line's start in any case, the multipart boundary
// parameter in its many spellings, the boundary of a delimiter line, and the chunked coding.
#include "stream/http_header_fields.h"

#include <gtest/gtest.h>

#include <string>

using namespace stream;

namespace {
constexpr std::size_t kMax = 127;
}  // namespace

TEST(HttpHeaderFields, FieldNamesCountOnlyAtALineStartInAnyCase) {
    const char* block =
        "HTTP/1.0 200 OK\r\nX-Content-Length: 9\r\ncontent-LENGTH: \t 42\r\nLast: end";
    const char* value = FindHeaderField(block, "Content-Length");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::string(value, HeaderLineLength(value)), "42");
    const char* last = FindHeaderField(block, "last");
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(std::string(last, HeaderLineLength(last)), "end");
    EXPECT_EQ(FindHeaderField(block, "Content"), nullptr);  // a name ends at its colon
    EXPECT_EQ(FindHeaderField("Content-Length 5\r\n", "Content-Length"), nullptr);
}

TEST(HttpHeaderFields, MultipartBoundaryInEverySpelling) {
    struct Row {
        const char* value;
        const char* boundary;
    };
    const Row rows[] = {
        {"multipart/x-mixed-replace;boundary=abc", "abc"},
        {"multipart/x-mixed-replace; boundary=BoundaryString\r\nNext: x", "BoundaryString"},
        {"Multipart/X-Mixed-Replace ; BOUNDARY = \"a b\" ; charset=x", "a b"},
        {"multipart/x-mixed-replace;charset=\"x;y\";boundary=--z--", "--z--"},
        {"multipart/x-mixed-replace;boundary=\"q\\\"uote\"", "q\"uote"},
        {"multipart/x-mixed-replace;boundary=video boundary--  ", "video boundary--"},
        {"multipart/x-mixed-replace\t;\tboundary\t=\tt", "t"},
        // No boundary to take.
        {"multipart/x-mixed-replace", ""},
        {"multipart/x-mixed-replace;boundary=", ""},
        {"multipart/x-mixed-replace;boundary=\"unclosed\r\n", ""},
        {"multipart/x-mixed-replacement;boundary=abc", ""},
        {"image/jpeg;boundary=abc", ""},
        {"multipart/x-mixed-replace;nameonly;boundary=abc", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        EXPECT_EQ(MultipartBoundary(row.value, kMax), row.boundary);
    }
    EXPECT_EQ(MultipartBoundary(
                  ("multipart/x-mixed-replace;boundary=" + std::string(200, 'b')).c_str(), kMax),
              std::string(kMax, 'b'));
}

TEST(HttpHeaderFields, DelimiterLineAndChunkedCoding) {
    EXPECT_EQ(DelimiterBoundary("--ffmpeg\r\nContent-type: image/jpeg", kMax), "ffmpeg");
    EXPECT_EQ(DelimiterBoundary("\r\n\r\n--b d \t\r\nX: y", kMax), "b d");
    EXPECT_EQ(DelimiterBoundary("--last", kMax), "last");
    EXPECT_EQ(DelimiterBoundary("--", kMax), "");
    EXPECT_EQ(DelimiterBoundary("Content-Type: image/jpeg\r\n--b", kMax), "");
    EXPECT_TRUE(IsChunkedCoding("chunked"));
    EXPECT_TRUE(IsChunkedCoding("gzip , CHUNKED \r\nX: y"));
    EXPECT_FALSE(IsChunkedCoding("identity"));
    EXPECT_FALSE(IsChunkedCoding("chunkedx"));
    EXPECT_FALSE(IsChunkedCoding("\r\nchunked"));
}
