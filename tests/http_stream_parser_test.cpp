// The HTTP stream's parse step, driven from memory: frames taken whole whatever the receive
// sizes, part headers, device lines, and every condition that ends a session.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stream/http_stream_parser.h"

using namespace stream;

namespace {

const std::string kHead =
    "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=qbnd\r\n"
    "Cache-Control: no-cache\r\n\r\n";

std::string Jpeg(int size, int seed) {
    std::string j(size, '\0');
    for (int i = 0; i < size; ++i) j[i] = static_cast<char>((i * 7 + seed) & 0xFF);
    j[0] = '\xFF';
    j[1] = '\xD8';
    j[size - 2] = '\xFF';
    j[size - 1] = '\xD9';
    return j;
}

std::string Part(const std::string& jpeg, const std::string& date_line) {
    return "--qbnd\r\nContent-length: " + std::to_string(jpeg.size()) + "\r\n" + date_line +
           "\r\nContent-type: image/jpeg\r\n\r\n" + jpeg + "\r\n";
}

struct Outcome {
    std::vector<std::string> frames;
    EndReason end = EndReason::None;
    int headers = 0;
    DeviceLine last_line;
};

// Feeds the stream in receives of the given sizes (cycled); one step per receive, as the session
// does, then keeps stepping on the rest so nothing buffered is left unexamined.
Outcome Drive(const std::string& stream, std::vector<int> sizes, int extra_steps = 200) {
    HttpStreamParser p;
    p.RequestSent();
    Outcome out;
    auto step = [&] {
        if (!p.ShouldStep()) return;
        StepResult r = p.Step();
        if (r.has_device_line) out.last_line = r.device_line;
        if (r.kind == StepKind::Header) ++out.headers;
        if (r.kind == StepKind::Frame)
            out.frames.emplace_back(reinterpret_cast<const char*>(p.frame()), p.frame_length());
        if (r.kind == StepKind::End) out.end = r.reason;
    };
    std::size_t pos = 0;
    for (std::size_t i = 0; pos < stream.size() && out.end == EndReason::None; ++i) {
        int n = std::min<int>(sizes[i % sizes.size()], static_cast<int>(stream.size() - pos));
        p.Append(reinterpret_cast<const std::uint8_t*>(stream.data() + pos), n);
        pos += n;
        if (p.buffered() > kMaxBufferedBytes) {
            out.end = EndReason::BufferOverflow;
            break;
        }
        step();
    }
    for (int i = 0; i < extra_steps && out.end == EndReason::None; ++i) step();
    return out;
}

const std::string kLine = "Date: 2005-08-08 08:46:01 O_00001011 PT_120_045";

}  // namespace

TEST(HttpStreamParser, TakesEveryFrameWhateverTheReceiveSizes) {
    std::string stream = kHead;
    std::vector<std::string> jpegs;
    for (int i = 0; i < 5; ++i) {
        jpegs.push_back(Jpeg(3000 + i * 977, i));
        stream += Part(jpegs.back(), kLine);
    }
    // The session parses one chunk per receive, so the last part is only taken once the next
    // part's boundary has arrived.
    stream += "--qbnd\r\n";
    for (std::vector<int> sizes : {std::vector<int>{1600}, {1}, {7, 1600, 13}, {40000}, {512, 511}}) {
        SCOPED_TRACE(sizes.front());
        Outcome o = Drive(stream, sizes);
        EXPECT_EQ(o.end, EndReason::None);
        ASSERT_EQ(o.frames.size(), jpegs.size());
        for (std::size_t i = 0; i < jpegs.size(); ++i) EXPECT_EQ(o.frames[i], jpegs[i]);
        EXPECT_EQ(o.last_line.pan, 120);
    }
}

TEST(HttpStreamParser, BoundaryComesFromTheReplyHead) {
    HttpStreamParser p;
    p.RequestSent();
    p.Append(reinterpret_cast<const std::uint8_t*>(kHead.data()), static_cast<int>(kHead.size()));
    StepResult r = p.Step();
    EXPECT_EQ(r.kind, StepKind::Header);
    EXPECT_EQ(p.boundary(), "qbnd");
    EXPECT_EQ(p.phase(), 0);
    EXPECT_EQ(p.buffered(), 0);
}

TEST(HttpStreamParser, DeviceLineOfAPartHeaderIsParsed) {
    Outcome o = Drive(kHead + Part(Jpeg(500, 1), kLine) + "--qbnd\r\n", {1600});
    ASSERT_EQ(o.frames.size(), 1u);
    EXPECT_TRUE(o.last_line.clock_complete);
    EXPECT_EQ(o.last_line.year, 2005);
    EXPECT_EQ(o.last_line.second, 1);
    EXPECT_EQ(o.last_line.email, 1);
    EXPECT_EQ(o.last_line.upload, 0);
    EXPECT_EQ(o.last_line.out2, 1);
    EXPECT_EQ(o.last_line.out1, 1);
    EXPECT_EQ(o.last_line.tilt, 45);
}

TEST(HttpStreamParser, PartLengthLimitsArePairs) {
    struct Row {
        int length;
        bool presented;
    };
    for (Row row : {Row{100, false}, Row{101, true}}) {
        SCOPED_TRACE(row.length);
        Outcome o = Drive(kHead + Part(Jpeg(row.length, 3), kLine) + Part(Jpeg(400, 4), kLine) +
                              "--qbnd\r\n",
                          {1600});
        EXPECT_EQ(o.end, EndReason::None);
        ASSERT_EQ(o.frames.size(), row.presented ? 2u : 1u);
        EXPECT_EQ(o.frames.back().size(), 400u);
    }
    // 140000 is accepted, 140001 ends the session.
    std::string ok = kHead + "--qbnd\r\nContent-length: 140000\r\nContent-type: image/jpeg\r\n\r\n";
    EXPECT_EQ(Drive(ok, {1600}).end, EndReason::None);
    std::string over = kHead + "--qbnd\r\nContent-length: 140001\r\nContent-type: image/jpeg\r\n\r\n";
    EXPECT_EQ(Drive(over, {1600}).end, EndReason::BadPartLength);
    for (const char* value : {"0", "", "-5"}) {
        SCOPED_TRACE(value);
        std::string bad = kHead + "--qbnd\r\nContent-length: " + value +
                          "\r\nContent-type: image/jpeg\r\n\r\n";
        EXPECT_EQ(Drive(bad, {1600}).end, EndReason::BadPartLength);
    }
}

TEST(HttpStreamParser, ReplyStatusDecidesTheSession) {
    // A first head without "200" is the camera's refusal: no stream follows, the session ends.
    Outcome unauthorized = Drive("HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic\r\n\r\n", {1600});
    EXPECT_EQ(unauthorized.end, EndReason::StatusNotOk);
    EXPECT_EQ(unauthorized.headers, 0);
    // A web page where pictures were asked for ends too; an image type is a boundary-less stream.
    EXPECT_EQ(Drive("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n", {1600}).end,
              EndReason::NotMultipart);
    EXPECT_EQ(Drive("HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\n\r\n", {1600}).end,
              EndReason::None);
    // "200" and "401" after "HTTP" in one head ends it at once.
    Outcome both = Drive("HTTP/1.0 200 OK\r\nX-Note: 401\r\n\r\n", {1600});
    EXPECT_EQ(both.end, EndReason::StatusNotOk);
}

TEST(HttpStreamParser, CapitalLengthIsNotRecognised) {
    std::string stream = kHead + "--qbnd\r\nContent-Length: 500\r\nContent-type: image/jpeg\r\n\r\n" +
                         Jpeg(500, 2) + "\r\n--qbnd\r\n";
    Outcome o = Drive(stream, {1600});
    EXPECT_EQ(o.end, EndReason::None);
    EXPECT_TRUE(o.frames.empty());
}

TEST(HttpStreamParser, HeaderAndBodyInOneReceiveTakeTwoSteps) {
    HttpStreamParser p;
    p.RequestSent();
    std::string stream = kHead + Part(Jpeg(300, 5), kLine) + "--qbnd\r\n";
    p.Append(reinterpret_cast<const std::uint8_t*>(stream.data()), static_cast<int>(stream.size()));
    EXPECT_EQ(p.Step().kind, StepKind::Header);  // reply head
    EXPECT_EQ(p.Step().kind, StepKind::Header);  // part header
    EXPECT_EQ(p.part_length(), 300);
    EXPECT_EQ(p.Step().kind, StepKind::Frame);
    EXPECT_EQ(p.frame_length(), 300);
}

TEST(HttpStreamParser, BufferNeverOverflowsOnEndlessGarbage) {
    std::string garbage(kMaxBufferedBytes + 5000, 'x');
    Outcome o = Drive(kHead + garbage, {1600});
    EXPECT_EQ(o.end, EndReason::BufferOverflow);
    // Zero bytes in body data do not stop the boundary search for good.
    std::string zeros(3000, '\0');
    Outcome z = Drive(kHead + zeros + Part(Jpeg(200, 9), kLine) + "--qbnd\r\n", {1600});
    EXPECT_EQ(z.frames.size(), 1u);
}

TEST(HttpStreamParser, AppendRefusesWhatCannotFit) {
    HttpStreamParser p;
    std::vector<std::uint8_t> big(kAccumulationBytes + 1, 'a');
    EXPECT_FALSE(p.Append(big.data(), static_cast<int>(big.size())));
    EXPECT_EQ(p.buffered(), 0);
    EXPECT_TRUE(p.Append(big.data(), kAccumulationBytes));
    EXPECT_FALSE(p.Append(big.data(), 1));
}

TEST(HttpStreamParser, WithoutABoundaryPartsAreTakenByLengthAlone) {
    std::string head = "HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\nServer: cam\r\n\r\n";
    std::string a = Jpeg(700, 1), b = Jpeg(800, 2);
    std::string stream = head + "Content-length: 700\r\nContent-type: image/jpeg\r\n\r\n" + a +
                         "\r\nContent-length: 800\r\nContent-type: image/jpeg\r\n\r\n" + b + "\r\n" +
                         std::string(8, 'p');
    for (int size : {1600, 1}) {
        SCOPED_TRACE(size);
        Outcome o = Drive(stream, {size});
        ASSERT_EQ(o.frames.size(), 2u);
        EXPECT_EQ(o.frames[0], a);
        EXPECT_EQ(o.frames[1], b);
    }
}
