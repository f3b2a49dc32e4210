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
Outcome Drive(const std::string& stream, std::vector<int> sizes, int extra_steps = 200,
              LengthlessParts lengthless = LengthlessParts::Skipped) {
    HttpStreamParser p(lengthless);
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

// A header block's last line ends where the block does: the device line and the boundary are
// read there as well as in the middle, with the same results, whatever the receive sizes.
TEST(HttpStreamParser, KeysOnABlocksLastLineAreRead) {
    const std::string head_last =
        "HTTP/1.0 200 OK\r\nPragma: no-cache\r\n"
        "Content-Type: multipart/x-mixed-replace;boundary=qbnd\r\n\r\n";
    const std::string jpeg = Jpeg(600, 4);
    const std::string date_last = "--qbnd\r\nContent-length: 600\r\nContent-type: image/jpeg\r\n" +
                                  kLine + "\r\n\r\n" + jpeg + "\r\n--qbnd\r\n";
    struct Row {
        const char* name;
        std::string stream;
    };
    const Row rows[] = {
        {"boundary and device line in the middle", kHead + Part(jpeg, kLine) + "--qbnd\r\n"},
        {"boundary last in the head", head_last + Part(jpeg, kLine) + "--qbnd\r\n"},
        {"device line last in the part header", kHead + date_last},
        {"both last", head_last + date_last},
    };
    for (const Row& row : rows) {
        for (int size : {1600, 1, 7}) {
            SCOPED_TRACE(std::string(row.name) + ", receives of " + std::to_string(size));
            Outcome o = Drive(row.stream, {size});
            EXPECT_EQ(o.end, EndReason::None);
            ASSERT_EQ(o.frames.size(), 1u);
            EXPECT_EQ(o.frames[0], jpeg);
            EXPECT_TRUE(o.last_line.clock_complete);
            EXPECT_EQ(o.last_line.year, 2005);
            EXPECT_EQ(o.last_line.second, 1);
            EXPECT_EQ(o.last_line.out1, 1);
            EXPECT_EQ(o.last_line.pan, 120);
            EXPECT_EQ(o.last_line.tilt, 45);
        }
    }
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

// Other servers' spellings of the head and part headers, as HTTP reads them: the frames are the
// same whatever the form and the receive sizes.
TEST(HttpStreamParser, OtherServersHeaderFormsGiveTheSameFrames) {
    const std::vector<std::string> jpegs = {Jpeg(900, 1), Jpeg(1300, 2), Jpeg(700, 3)};
    // One stream: the head, then each JPEG in a part made by `part`, then a last delimiter.
    auto make = [&](const std::string& head, const std::string& delimiter,
                    const std::string& part_head) {
        std::string stream = head + delimiter + "\r\n";
        for (const std::string& j : jpegs) {
            std::string h = part_head;
            h.replace(h.find("%d"), 2, std::to_string(j.size()));
            stream += h + "\r\n\r\n" + j + "\r\n" + delimiter + "\r\n";
        }
        return stream;
    };
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    struct Row {
        const char* name;
        std::string stream;
    };
    const Row rows[] = {
        {"capital padded length, space after ;",
         make(ok +
                  "Date: Tue, 08 Dec 2026 11:59:49 GMT\r\nContent-Type: multipart/x-mixed-replace; "
                  "boundary=BoundaryString\r\n\r\n",
              "--BoundaryString", "Content-type: image/jpeg\r\nContent-Length:     %d")},
        {"quoted boundary with spaces, any case",
         make(ok + "content-type: Multipart/X-Mixed-Replace ; BOUNDARY = \"my frame\"\r\n\r\n",
              "--my frame", "CONTENT-TYPE: image/jpeg\r\ncontent-length:\t%d\r\nX-Frame: 1")},
        {"quoted boundary, device spelling of the type",
         make(ok + "Content-Type: multipart/x-mixed-replace;boundary=\"q\\\"b\"\r\n\r\n", "--q\"b",
              "Content-Type: image/jpeg\r\nContent-Length: %d")},
        {"no boundary in the head",
         make(ok + "Content-Type: multipart/x-mixed-replace\r\n\r\n", "--learned",
              "Content-Type: image/jpeg\r\nContent-Length: %d")},
        {"no multipart type at all, padded delimiter line",
         make(ok + "Content-Type: application/octet-stream\r\n\r\n", "--ffmpeg  ",
              "Content-type: image/jpeg\r\nContent-length: %d")},
    };
    for (const Row& row : rows) {
        for (std::vector<int> sizes : {std::vector<int>{1600}, {1}, {7, 1600, 13}}) {
            SCOPED_TRACE(std::string(row.name) + ", receives of " + std::to_string(sizes[0]));
            Outcome o = Drive(row.stream, sizes);
            EXPECT_EQ(o.end, EndReason::None);
            ASSERT_EQ(o.frames.size(), jpegs.size());
            for (std::size_t i = 0; i < jpegs.size(); ++i) EXPECT_EQ(o.frames[i], jpegs[i]);
        }
    }
}

// The device's own spellings win where another form is there too, and the part length keeps its
// limits in every form; a reply head's length (of the whole endless body) sizes no part.
TEST(HttpStreamParser, LengthFormsKeepTheDevicesMeaningAndLimits) {
    const std::string jpeg = Jpeg(500, 6);
    const std::string both = kHead +
                             "--qbnd\r\nContent-Length: 900\r\nContent-length: 500\r\n"
                             "Content-type: image/jpeg\r\n\r\n" +
                             jpeg + "\r\n--qbnd\r\n";
    Outcome o = Drive(both, {1600});
    ASSERT_EQ(o.frames.size(), 1u);
    EXPECT_EQ(o.frames[0], jpeg);

    const std::string head_length =
        "HTTP/1.0 200 OK\r\nContent-Length: 99999999\r\n"
        "Content-Type: multipart/x-mixed-replace;boundary=qbnd\r\n\r\n";
    Outcome h = Drive(head_length + Part(jpeg, kLine) + "--qbnd\r\n", {1600});
    EXPECT_EQ(h.end, EndReason::None);
    EXPECT_EQ(h.frames.size(), 1u);

    struct Row {
        const char* line;
        EndReason end;
    };
    for (Row row : {Row{"CONTENT-LENGTH:   140000", EndReason::None},
                    Row{"content-length: 140001", EndReason::BadPartLength},
                    Row{"Content-Length:", EndReason::BadPartLength},
                    Row{"Content-Length: 0", EndReason::BadPartLength}}) {
        SCOPED_TRACE(row.line);
        std::string stream =
            kHead + "--qbnd\r\n" + row.line + "\r\nContent-type: image/jpeg\r\n\r\n";
        EXPECT_EQ(Drive(stream, {1600}).end, row.end);
    }
}

// Parts without a length, from a server named by a stream path: each is presented from its JPEG
// start marker to the last end marker before the closing boundary, and its body is never taken
// for a header block. The device's length-less parts stay skipped.
TEST(HttpStreamParser, LengthlessPartsArePresentedByTheirMarkersOnlyWhenAsked) {
    const std::string a = Jpeg(900, 1);
    std::string b = Jpeg(1200, 2);
    b.replace(2, 28, "Content-Type: image/jpeg\r\n\r\n");  // a header block, to a text search
    const std::string short_jpeg = Jpeg(100, 3);           // 1..100 bytes: never presented
    std::string no_end = Jpeg(400, 4);
    no_end.resize(398);
    const std::string part_head = "Content-Type: image/jpeg\r\n\r\n";
    const std::string stream =
        "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=lb\r\n\r\n"
        "--lb\r\n" +
        part_head + a + "\r\n--lb\r\n" + part_head + "\r\npad" + b + "trailing bytes\r\n--lb\r\n" +
        part_head + short_jpeg + "\r\n--lb\r\n" + part_head + no_end + "\r\n--lb\r\n" + part_head +
        a + "\r\n--lb\r\n";
    for (int size : {1600, 1, 7}) {
        SCOPED_TRACE(size);
        Outcome marked = Drive(stream, {size}, 200, LengthlessParts::PresentedByMarkers);
        EXPECT_EQ(marked.end, EndReason::None);
        ASSERT_EQ(marked.frames.size(), 3u);
        EXPECT_EQ(marked.frames[0], a);
        EXPECT_EQ(marked.frames[1], b);
        EXPECT_EQ(marked.frames[2], a);
        Outcome skipped = Drive(stream, {size});
        EXPECT_EQ(skipped.end, EndReason::None);
        EXPECT_TRUE(skipped.frames.empty());
    }
}

// A chunked reply body is decoded wherever its chunks split the parts, size lines with
// extensions included; a broken coding ends the session.
TEST(HttpStreamParser, ChunkedBodiesAreDecodedWhereverTheChunksFall) {
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=qbnd\r\n"
        "Transfer-Encoding: gzip, Chunked\r\n\r\n";
    std::string body = "--qbnd\r\n";
    std::vector<std::string> jpegs;
    for (int i = 0; i < 4; ++i) {
        jpegs.push_back(Jpeg(2500 + 611 * i, i));
        body += Part(jpegs.back(), kLine);
    }
    body += "--qbnd\r\n";
    std::string chunked;
    const int chunk_sizes[] = {1, 100, 4096, 3, 777};
    for (std::size_t at = 0, i = 0; at < body.size(); ++i) {
        const std::size_t n = std::min<std::size_t>(chunk_sizes[i % 5], body.size() - at);
        char line[32];
        std::snprintf(line, sizeof line, i % 2 ? "%zX;ext=1\r\n" : "%zx\r\n", n);
        chunked += line + body.substr(at, n) + "\r\n";
        at += n;
    }
    chunked += "0\r\n\r\n";
    for (std::vector<int> sizes : {std::vector<int>{1600}, {1}, {7, 1600, 13}}) {
        SCOPED_TRACE(sizes[0]);
        Outcome o = Drive(head + chunked, sizes);
        EXPECT_EQ(o.end, EndReason::None);
        ASSERT_EQ(o.frames.size(), jpegs.size());
        for (std::size_t i = 0; i < jpegs.size(); ++i) EXPECT_EQ(o.frames[i], jpegs[i]);
    }
    for (const char* broken : {"zz\r\n--qbnd\r\n", "123456789\r\n", "3\r\nabcXY"}) {
        SCOPED_TRACE(broken);
        EXPECT_EQ(Drive(head + broken + std::string(20, 'x'), {1600}).end, EndReason::BadChunk);
    }
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
