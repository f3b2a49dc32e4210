// The decoder against libjpeg-turbo's djpeg (-dct int -nosmooth: the same integer inverse DCT
// and replicated upsampling) over the generated corpus: every colour picture within 1 per
// channel, every grey picture exact. Also the refused kinds of file with their exact codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "apps/bmp_file.h"
#include "image/image_buffer.h"
#include "image/jpeg_decoder.h"
#include "support/bmp.h"
#include "support/jpeg_corpus.h"

namespace image {
namespace {

using testsupport::CorpusImage;
using testsupport::Picture;

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

struct Decoded {
    ImageResult result = kImageOk;
    std::int32_t extended = 0;
    ImageBuffer buffer{};
    ~Decoded() { FreeImage(&buffer); }
};

// ReadJpegInfo, AllocImage and DecodeJpeg, as the frame presentation calls them.
void DecodeLikeTheControl(const std::vector<std::uint8_t>& bytes, Decoded* out) {
    JpegInfo info{};
    out->result = ReadJpegInfo(bytes.data(), bytes.size(), &info);
    if (out->result != kImageOk) return;
    out->result = AllocImage(&out->buffer, info.Width, info.Height, info.BitsPerPixel);
    if (out->result != kImageOk) return;
    out->result = DecodeJpeg(bytes.data(), bytes.size(), &out->buffer);
    out->extended = ExtendedError();
}

bool Reference(const CorpusImage& image, Picture* picture) {
    const std::string bmp = image.path + ".djpeg.bmp";
    if (!testsupport::RunQuiet("djpeg -dct int -nosmooth -bmp -outfile " + Quote(bmp) + " " +
                               Quote(image.reference_path)))
        return false;
    std::string error;
    return testsupport::ReadBmpFile(bmp, picture, &error);
}

TEST(JpegOracle, CorpusMatchesDjpeg) {
    const std::vector<CorpusImage>& corpus = testsupport::DecodableCorpus();
    ASSERT_GE(corpus.size(), 55u);
    int compared = 0, worst = 0, multi_scan = 0;
    for (const CorpusImage& image : corpus) {
        SCOPED_TRACE(image.name);
        Picture reference;
        ASSERT_TRUE(Reference(image, &reference)) << "djpeg failed on " << image.path;
        Decoded ours;
        DecodeLikeTheControl(image.bytes, &ours);
        ASSERT_EQ(ours.result, kImageOk) << "extended " << ours.extended;
        const Picture picture = testsupport::PictureOf(ours.buffer);
        const int difference = testsupport::MaxDifference(picture, reference);
        ASSERT_GE(difference, 0) << "size " << picture.width << "x" << picture.height << "x"
                                 << picture.channels << " against " << reference.width << "x"
                                 << reference.height << "x" << reference.channels;
        EXPECT_LE(difference, picture.channels == 1 ? 0 : 1);
        worst = std::max(worst, difference);
        ++compared;
        multi_scan += image.multi_scan ? 1 : 0;
    }
    std::printf(
        "[ oracle   ] %d pictures (%d progressive or multi-scan) compared with djpeg; largest "
        "channel difference %d\n",
        compared, multi_scan, worst);
}

TEST(JpegOracle, GreyPicturesKeepTheGreyRamp) {
    for (const CorpusImage& image : testsupport::DecodableCorpus()) {
        if (image.name.find("grey") == std::string::npos) continue;
        SCOPED_TRACE(image.name);
        Decoded ours;
        DecodeLikeTheControl(image.bytes, &ours);
        ASSERT_EQ(ours.result, kImageOk);
        EXPECT_EQ(ours.buffer.Header->BitCount, 8);
        EXPECT_EQ(ours.buffer.Flags & kGreyScale, kGreyScale);
        EXPECT_EQ(ours.buffer.Palette[200].Green, 200);
    }
}

TEST(JpegOracle, BmpFileOfTheDecodedBufferEqualsDjpegs) {
    // The BMP writer of `quorlina decode`: header, colour table and rows as one file.
    for (const char* name : {"turbojpeg picture.jpg", "grey q75"}) {
        SCOPED_TRACE(name);
        const auto& corpus = testsupport::DecodableCorpus();
        auto it = std::find_if(corpus.begin(), corpus.end(),
                               [&](const CorpusImage& c) { return c.name == name; });
        ASSERT_NE(it, corpus.end());
        Decoded ours;
        DecodeLikeTheControl(it->bytes, &ours);
        ASSERT_EQ(ours.result, kImageOk);
        Picture written, reference;
        std::string error;
        ASSERT_TRUE(testsupport::ParseBmp(apps::BmpFileBytes(ours.buffer), &written, &error))
            << error;
        ASSERT_TRUE(Reference(*it, &reference));
        EXPECT_LE(testsupport::MaxDifference(written, reference), written.channels == 1 ? 0 : 1);
        if (written.channels == 1) {
            ASSERT_EQ(written.palette.size(), 256u);
            EXPECT_EQ(written.palette[77].Red, 77);
        }
    }
}

TEST(JpegOracle, DecodeCommandWritesDjpegsPictureOrNothing) {
    const std::string quorlina = std::string(QUORLINA_BIN_DIR) + "/quorlina";
    if (testsupport::RunExitStatus(Quote(quorlina) + " --help") != 0)
        GTEST_SKIP() << "quorlina not built";
    const auto& corpus = testsupport::DecodableCorpus();
    for (const char* name : {"progressive 2x2", "grey q75", "size 17x9"}) {
        SCOPED_TRACE(name);
        auto it = std::find_if(corpus.begin(), corpus.end(),
                               [&](const CorpusImage& c) { return c.name == name; });
        ASSERT_NE(it, corpus.end());
        const std::string out = it->path + ".quorlina.bmp";
        ASSERT_EQ(testsupport::RunExitStatus(Quote(quorlina) + " decode " + Quote(it->path) + " " +
                                             Quote(out)),
                  0);
        Picture written, reference;
        std::string error;
        ASSERT_TRUE(testsupport::ReadBmpFile(out, &written, &error)) << error;
        ASSERT_TRUE(Reference(*it, &reference));
        EXPECT_LE(testsupport::MaxDifference(written, reference), written.channels == 1 ? 0 : 1);
    }
    // Resized: the size asked for, at the same depth.
    const std::string resized = testsupport::CorpusDir() + "/resized.bmp";
    ASSERT_EQ(testsupport::RunExitStatus(Quote(quorlina) + " decode " + Quote(corpus[0].path) +
                                         " " + Quote(resized) + " --size 320x200 --method 1"),
              0);
    Picture picture;
    std::string error;
    ASSERT_TRUE(testsupport::ReadBmpFile(resized, &picture, &error)) << error;
    EXPECT_EQ(picture.width, 320);
    EXPECT_EQ(picture.height, 200);
    EXPECT_EQ(picture.channels, 3);
    // A refused frame: status 1 and no file; bad arguments: status 2.
    const std::string refused = testsupport::CorpusDir() + "/refused.bmp";
    const std::string arithmetic = testsupport::SourceDir() + "/arithmetic.jpg";
    EXPECT_EQ(testsupport::RunExitStatus(Quote(quorlina) + " decode " + Quote(arithmetic) + " " +
                                         Quote(refused)),
              1);
    EXPECT_TRUE(testsupport::ReadFileBytes(refused).empty());
    EXPECT_EQ(testsupport::RunExitStatus(Quote(quorlina) + " decode " + Quote(corpus[0].path) +
                                         " " + Quote(refused) + " --size 0x5"),
              2);
    EXPECT_EQ(testsupport::RunExitStatus(Quote(quorlina) + " info " + Quote(corpus[0].path)), 0);
    EXPECT_EQ(testsupport::RunExitStatus(Quote(quorlina) + " info " +
                                         Quote(testsupport::SourceDir() + "/refined_bands.scan")),
              1);
}

TEST(JpegOracle, RefusedKindsGiveTheirCodes) {
    const auto& rejected = testsupport::RejectedCorpus();
    ASSERT_EQ(rejected.size(), 6u);
    for (const testsupport::RejectedImage& image : rejected) {
        SCOPED_TRACE(image.name);
        ASSERT_FALSE(image.bytes.empty());
        JpegInfo info{};
        const ImageResult info_result = ReadJpegInfo(image.bytes.data(), image.bytes.size(), &info);
        EXPECT_EQ(info_result, image.info_result);
        if (info_result != kImageOk) {
            EXPECT_EQ(ExtendedError(), image.extended_error);
        }

        ImageBuffer buffer{};
        if (info_result == kImageOk)
            ASSERT_EQ(AllocImage(&buffer, info.Width, info.Height, info.BitsPerPixel), kImageOk);
        else
            ASSERT_EQ(AllocImage(&buffer, 16, 16, 24), kImageOk);
        EXPECT_EQ(DecodeJpeg(image.bytes.data(), image.bytes.size(), &buffer), image.decode_result);
        EXPECT_EQ(ExtendedError(), image.extended_error);
        FreeImage(&buffer);
    }
}

TEST(JpegOracle, RefusedKindsStillReportTheirHeader) {
    std::map<std::string, JpegInfo> infos;
    for (const testsupport::RejectedImage& image : testsupport::RejectedCorpus()) {
        JpegInfo info{};
        if (ReadJpegInfo(image.bytes.data(), image.bytes.size(), &info) == kImageOk)
            infos[image.name] = info;
    }
    ASSERT_EQ(infos.count("arithmetic-coded"), 1u);
    EXPECT_EQ(infos["arithmetic-coded"].FrameType, 9);
    EXPECT_EQ(infos["arithmetic-coded"].Width, 227);
    ASSERT_EQ(infos.count("12-bit samples"), 1u);
    EXPECT_EQ(infos["12-bit samples"].Precision, 12);
    ASSERT_EQ(infos.count("lossless"), 1u);
    EXPECT_EQ(infos["lossless"].FrameType, 3);
    EXPECT_EQ(infos["lossless"].BitsPerPixel, 8);
}

}  // namespace
}  // namespace image
