// Builds the JPEG corpus with Debian's cjpeg and jpegtran from pictures the tests draw themselves:
// the simulated camera's test picture with a little deterministic noise (so every coefficient
// band carries data), crops of it, two colour-mapped BMP files and TurboJPEG encodings. The
// refused kinds are an arithmetic-coded file from cjpeg, hand-made 12-bit and lossless frames and
// a handful of header edits. Everything is made once per process.
#include "support/jpeg_corpus.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "apps/bmp_file.h"
#include "apps/camera/picture.h"
#include "image/jpeg_decoder.h"

namespace testsupport {
namespace {

struct TempFolder {
    std::string path;
    TempFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quorlina-jpeg-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) != nullptr) path = name.data();
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
};

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

struct Rgb {
    int width = 0, height = 0;
    std::vector<std::uint8_t> data;
};

// The source picture: 227 x 149 (odd in both directions, so every sampling has a partial MCU).
constexpr int kSourceWidth = 227;
constexpr int kSourceHeight = 149;
constexpr int kSourceNoise = 10;  // largest change per channel added to the camera picture
constexpr const char* kPicturePpm = "picture.ppm";
constexpr const char* kPictureJpeg = "picture.jpg";        // TurboJPEG, 4:2:0, quality 75
constexpr const char* kPicture444Jpeg = "picture444.jpg";  // TurboJPEG, 4:4:4, quality 90
constexpr const char* kPaletteBmpA = "palette119x96.bmp";
constexpr const char* kPaletteBmpB = "palette128x95.bmp";
constexpr const char* kArithmeticJpeg = "arithmetic.jpg";

Rgb RenderSource() {
    camera::DeviceState state;
    state.output1 = true;
    state.pan = 12;
    state.tilt = -7;
    camera::ClockFields clock;
    clock.year = 2024;
    clock.month = 6;
    clock.day = 11;
    clock.hour = 12;
    clock.minute = 34;
    clock.second = 56;
    Rgb rgb;
    rgb.width = kSourceWidth;
    rgb.height = kSourceHeight;
    camera::RenderTestPicture(rgb.data, kSourceWidth, kSourceHeight, 17, state, clock);
    std::mt19937 random(20240611);
    for (std::uint8_t& v : rgb.data) {
        const int noise = static_cast<int>(random() % (2 * kSourceNoise + 1)) - kSourceNoise;
        v = static_cast<std::uint8_t>(std::clamp(v + noise, 0, 255));
    }
    return rgb;
}

std::vector<std::uint8_t> TurboJpeg(const Rgb& rgb, int subsampling, int quality) {
    std::vector<std::uint8_t> bytes;
    tjhandle handle = tjInitCompress();
    if (handle == nullptr) return bytes;
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(handle, rgb.data.data(), rgb.width, 0, rgb.height, TJPF_RGB, &out, &size,
                    subsampling, quality, TJFLAG_ACCURATEDCT) == 0)
        bytes.assign(out, out + size);
    tjFree(out);
    tjDestroy(handle);
    return bytes;
}

// A colour-mapped (8-bit) BMP of the picture's top-left corner: a 6 x 6 x 6 colour cube, each
// pixel its nearest cube colour, so cjpeg reads a palette file.
bool WritePaletteBmp(const std::string& path, const Rgb& rgb, int width, int height) {
    constexpr int kLevels = 6;
    constexpr int kStep = 255 / (kLevels - 1);
    image::ImageBuffer buffer{};
    if (image::AllocImage(&buffer, width, height, 8) != image::kImageOk) return false;
    for (int i = 0; i < kLevels * kLevels * kLevels; ++i) {
        buffer.Palette[i].Red = static_cast<std::uint8_t>(i / (kLevels * kLevels) * kStep);
        buffer.Palette[i].Green = static_cast<std::uint8_t>(i / kLevels % kLevels * kStep);
        buffer.Palette[i].Blue = static_cast<std::uint8_t>(i % kLevels * kStep);
    }
    buffer.Flags = 0;
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = buffer.Bits + static_cast<std::size_t>(height - 1 - y) *
                                              static_cast<std::size_t>(buffer.RowBytes);
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p =
                &rgb.data[(static_cast<std::size_t>(y) * static_cast<std::size_t>(rgb.width) +
                           static_cast<std::size_t>(x)) *
                          3];
            auto level = [](std::uint8_t v) { return (v + kStep / 2) / kStep; };
            row[x] = static_cast<std::uint8_t>(level(p[0]) * kLevels * kLevels +
                                               level(p[1]) * kLevels + level(p[2]));
        }
    }
    const bool written = WriteFileBytes(path, apps::BmpFileBytes(buffer));
    image::FreeImage(&buffer);
    return written;
}

bool WritePpmCrop(const std::string& path, const Rgb& rgb, int x0, int y0, int width, int height) {
    std::string head = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    std::vector<std::uint8_t> out(head.begin(), head.end());
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = rgb.data.data() + (static_cast<std::size_t>(y0 + y) *
                                                         static_cast<std::size_t>(rgb.width) +
                                                     static_cast<std::size_t>(x0)) *
                                                        3;
        out.insert(out.end(), row, row + static_cast<std::ptrdiff_t>(width) * 3);
    }
    return WriteFileBytes(path, out);
}

// One corpus image: a shell command with {in} and {out} replaced by paths.
struct Recipe {
    std::string name;
    std::string source;  // file name in the corpus folder
    std::string command;
    bool multi_scan;
};

std::string Expand(std::string command, const std::string& in, const std::string& out) {
    for (auto [key, value] : {std::pair<std::string, std::string>{"{in}", in}, {"{out}", out}}) {
        for (std::size_t at = command.find(key); at != std::string::npos; at = command.find(key))
            command.replace(at, key.size(), value);
    }
    return command;
}

std::vector<Recipe> Recipes() {
    std::vector<Recipe> r;
    const std::string cjpeg = "cjpeg -dct int ";
    for (int q : {5, 10, 25, 50, 75, 90, 95, 100})
        r.push_back({"q" + std::to_string(q) + " 2x2", kPicturePpm,
                     cjpeg + "-quality " + std::to_string(q) + " -outfile {out} {in}", false});
    for (const char* s :
         {"1x1", "2x1", "1x2", "4x1", "1x4", "4x2", "2x2,1x2,2x1", "1x1,2x2,2x2", "2x2,1x1,2x1"})
        r.push_back({std::string("q75 sample ") + s, kPicturePpm,
                     cjpeg + "-sample " + s + " -outfile {out} {in}", false});
    r.push_back({"grey q75", kPicturePpm, cjpeg + "-grayscale -outfile {out} {in}", false});
    r.push_back({"grey q30 optimised", kPicturePpm,
                 cjpeg + "-grayscale -quality 30 -optimize -outfile {out} {in}", false});
    r.push_back({"grey declared 2x2", kPicturePpm,
                 cjpeg + "-grayscale -sample 2x2 -outfile {out} {in}", false});
    r.push_back(
        {"restart every MCU", kPicturePpm, cjpeg + "-restart 1B -outfile {out} {in}", false});
    r.push_back(
        {"restart every 4 MCUs", kPicturePpm, cjpeg + "-restart 4B -outfile {out} {in}", false});
    r.push_back(
        {"restart every row", kPicturePpm, cjpeg + "-restart 1 -outfile {out} {in}", false});
    r.push_back({"grey restart every 3 MCUs", kPicturePpm,
                 cjpeg + "-grayscale -restart 3B -outfile {out} {in}", false});
    r.push_back({"optimised 2x2", kPicturePpm, cjpeg + "-optimize -outfile {out} {in}", false});
    r.push_back({"optimised q90 1x1", kPicturePpm,
                 cjpeg + "-optimize -quality 90 -sample 1x1 -outfile {out} {in}", false});
    r.push_back({"progressive 2x2", kPicturePpm, cjpeg + "-progressive -outfile {out} {in}", true});
    r.push_back({"progressive q95 1x1", kPicturePpm,
                 cjpeg + "-progressive -quality 95 -sample 1x1 -outfile {out} {in}", true});
    r.push_back({"progressive grey", kPicturePpm,
                 cjpeg + "-progressive -grayscale -outfile {out} {in}", true});
    r.push_back({"progressive restart 2B", kPicturePpm,
                 cjpeg + "-progressive -restart 2B -outfile {out} {in}", true});
    r.push_back({"progressive refined bands", kPicturePpm,
                 cjpeg + "-scans {dir}/refined_bands.scan -outfile {out} {in}", true});
    r.push_back({"jpegtran refined bands", kPictureJpeg,
                 "jpegtran -scans {dir}/refined_bands.scan -outfile {out} {in}", true});
    r.push_back({"progressive separate DC", kPicturePpm,
                 cjpeg + "-scans {dir}/separate_dc.scan -outfile {out} {in}", true});
    r.push_back({"sequential three scans", kPicturePpm,
                 cjpeg + "-scans {dir}/seq3.scan -outfile {out} {in}", true});
    r.push_back({"sequential two scans", kPicturePpm,
                 cjpeg + "-scans {dir}/seq2.scan -outfile {out} {in}", true});
    r.push_back({"sequential three scans 1x1 restart", kPicturePpm,
                 cjpeg + "-sample 1x1 -restart 2B -scans {dir}/seq3.scan -outfile {out} {in}",
                 true});
    r.push_back(
        {"jpegtran progressive", kPictureJpeg, "jpegtran -progressive -outfile {out} {in}", true});
    r.push_back({"jpegtran optimised restart", kPictureJpeg,
                 "jpegtran -optimize -restart 2B -outfile {out} {in}", false});
    for (const char* size : {"1x1", "7x3", "17x9", "8x8", "100x75"})
        r.push_back({std::string("size ") + size, std::string("crop") + size + ".ppm",
                     cjpeg + "-outfile {out} {in}", false});
    r.push_back(
        {"size 17x9 1x1", "crop17x9.ppm", cjpeg + "-sample 1x1 -outfile {out} {in}", false});
    r.push_back({"size 7x3 grey", "crop7x3.ppm", cjpeg + "-grayscale -outfile {out} {in}", false});
    r.push_back({"size 100x75 progressive", "crop100x75.ppm",
                 cjpeg + "-progressive -outfile {out} {in}", true});
    r.push_back(
        {"size 1x1 progressive", "crop1x1.ppm", cjpeg + "-progressive -outfile {out} {in}", true});
    r.push_back({"palette bmp 119x96", kPaletteBmpA, cjpeg + "-outfile {out} {in}", false});
    r.push_back({"palette bmp 128x95 progressive", kPaletteBmpB,
                 cjpeg + "-progressive -outfile {out} {in}", true});
    r.push_back({"palette bmp 128x95 4x1", kPaletteBmpB,
                 cjpeg + "-sample 4x1 -quality 60 -outfile {out} {in}", false});
    return r;
}

void WriteScanScripts(const std::string& dir) {
    WriteFileBytes(dir + "/seq3.scan", {'0', ';', '\n', '1', ';', '\n', '2', ';', '\n'});
    const std::string two = "0;\n1 2;\n";
    WriteFileBytes(dir + "/seq2.scan", std::vector<std::uint8_t>(two.begin(), two.end()));
    // DC scans of one component each (non-interleaved, Y with 2x2 blocks per MCU), then AC
    // bands and refinements.
    const std::string separate =
        "0: 0 0 0 1;\n1: 0 0 0 0;\n2: 0 0 0 0;\n0: 1 5 0 2;\n2: 1 63 0 0;\n0: 6 63 0 2;\n"
        "1: 1 63 0 0;\n0: 0 0 1 0;\n0: 1 63 2 1;\n0: 1 63 1 0;\n";
    WriteFileBytes(dir + "/separate_dc.scan",
                   std::vector<std::uint8_t>(separate.begin(), separate.end()));
    // All three DC terms interleaved with one bit held back, luma AC in three bands and chroma
    // AC whole, each with bits held back, then every refinement.
    const std::string refined =
        "0 1 2: 0 0 0 1;\n0: 1 2 0 2;\n0: 3 9 0 2;\n0: 10 63 0 2;\n1: 1 63 0 1;\n2: 1 63 0 1;\n"
        "0 1 2: 0 0 1 0;\n0: 1 63 2 1;\n0: 1 63 1 0;\n1: 1 63 1 0;\n2: 1 63 1 0;\n";
    WriteFileBytes(dir + "/refined_bands.scan",
                   std::vector<std::uint8_t>(refined.begin(), refined.end()));
}

// The source files every recipe starts from, written into the corpus folder.
bool MakeSources(const std::string& dir) {
    const Rgb picture = RenderSource();
    bool ok = WritePpmCrop(dir + "/" + kPicturePpm, picture, 0, 0, picture.width, picture.height);
    const int crops[][2] = {{1, 1}, {7, 3}, {17, 9}, {8, 8}, {100, 75}};
    for (const auto& c : crops)
        ok &=
            WritePpmCrop(dir + "/crop" + std::to_string(c[0]) + "x" + std::to_string(c[1]) + ".ppm",
                         picture, 40, 30, c[0], c[1]);
    ok &= WriteFileBytes(dir + "/" + kPictureJpeg, TurboJpeg(picture, TJSAMP_420, 75));
    ok &= WriteFileBytes(dir + "/" + kPicture444Jpeg, TurboJpeg(picture, TJSAMP_444, 90));
    ok &= WritePaletteBmp(dir + "/" + kPaletteBmpA, picture, 119, 96);
    ok &= WritePaletteBmp(dir + "/" + kPaletteBmpB, picture, 128, 95);
    WriteScanScripts(dir);
    const std::string arithmetic = "cjpeg -arithmetic -outfile " +
                                   Quote(dir + "/" + kArithmeticJpeg) + " " +
                                   Quote(dir + "/" + kPicturePpm);
    if (!RunQuiet(arithmetic)) {
        ADD_FAILURE() << "corpus: failed: " << arithmetic;
        ok = false;
    }
    if (!ok) ADD_FAILURE() << "corpus: cannot write the source pictures into " << dir;
    return ok;
}

// A corpus image cut just before its n-th start-of-scan marker (n counted from 0).
bool CutBeforeScan(const CorpusImage& image, std::size_t n, std::vector<std::uint8_t>* out) {
    const std::vector<std::size_t> scans = ScanMarkerOffsets(image.bytes);
    if (scans.size() <= n) return false;
    out->assign(image.bytes.begin(), image.bytes.begin() + static_cast<std::ptrdiff_t>(scans[n]));
    return true;
}

std::vector<CorpusImage> BuildDecodable() {
    std::vector<CorpusImage> corpus;
    const std::string& dir = CorpusDir();
    if (dir.empty()) {
        ADD_FAILURE() << "corpus: cannot create a temporary folder";
        return corpus;
    }
    if (SourceDir().empty()) return corpus;

    for (const char* file : {kPictureJpeg, kPicture444Jpeg}) {
        const std::string path = dir + "/" + file;
        corpus.push_back(
            {std::string("turbojpeg ") + file, path, ReadFileBytes(path), false, path});
    }

    int index = 0;
    for (const Recipe& recipe : Recipes()) {
        const std::string in = dir + "/" + recipe.source;
        const std::string out = dir + "/corpus" + std::to_string(index++) + ".jpg";
        std::string command = Expand(recipe.command, Quote(in), Quote(out));
        for (std::size_t at = command.find("{dir}"); at != std::string::npos;
             at = command.find("{dir}"))
            command.replace(at, 5, Quote(dir));
        if (!RunQuiet(command)) {
            ADD_FAILURE() << "corpus: failed: " << command;
            continue;
        }
        corpus.push_back({recipe.name, out, ReadFileBytes(out), recipe.multi_scan, out});
    }

    // Without any APP0 segment (accepted), and progressive frames cut short.
    const std::vector<std::uint8_t>& jfif = corpus[0].bytes;
    if (jfif.size() > 6 && jfif[2] == 0xFF && jfif[3] == 0xE0) {
        const std::size_t app0 = 2 + 2 + (std::size_t{jfif[4]} << 8 | jfif[5]);
        std::vector<std::uint8_t> bare(jfif.begin(), jfif.begin() + 2);
        bare.insert(bare.end(), jfif.begin() + static_cast<std::ptrdiff_t>(app0), jfif.end());
        const std::string path = dir + "/no_app0.jpg";
        WriteFileBytes(path, bare);
        corpus.push_back({"no APP0", path, bare, false, path});
    }
    std::vector<CorpusImage> extra;
    for (const CorpusImage& image : corpus) {
        if (image.name != "progressive 2x2" && image.name != "progressive separate DC") continue;
        for (std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{5}}) {
            std::vector<std::uint8_t> cut;
            if (!CutBeforeScan(image, n, &cut)) continue;
            const std::string path = dir + "/cut" + std::to_string(extra.size()) + ".jpg";
            const std::string sequential = path + ".sequential.jpg";
            WriteFileBytes(path, cut);
            if (!RunQuiet("jpegtran -outfile " + Quote(sequential) + " " + Quote(path), true)) {
                ADD_FAILURE() << "corpus: jpegtran failed on " << path;
                continue;
            }
            extra.push_back({image.name + " cut after " + std::to_string(n) + " scans", path, cut,
                             true, sequential});
        }
    }
    corpus.insert(corpus.end(), extra.begin(), extra.end());
    return corpus;
}

std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An extended sequential frame (SOF1) of 12-bit samples, as a 12-bit encoder writes it: JFIF
// header, a quantisation table of 16-bit entries, one grey component, one-code Huffman tables
// and a scan of a single all-zero block.
std::vector<std::uint8_t> TwelveBitFrame() {
    std::vector<std::uint8_t> bytes = {
        0xFF, 0xD8,                    // SOI
        0xFF, 0xE0, 0x00, 0x10,        // APP0, 16 bytes
        'J',  'F',  'I',  'F',  0x00,  //   identifier
        0x01, 0x01,                    //   version 1.1
        0x00, 0x00, 0x01, 0x00, 0x01,  //   no units, density 1:1
        0x00, 0x00,                    //   no thumbnail
        0xFF, 0xDB, 0x00, 0x83,        // DQT, 131 bytes
        0x10,                          //   16-bit entries, table 0
    };
    for (int k = 0; k < 64; ++k) bytes.insert(bytes.end(), {0x00, 0x01});  //   every step 1
    const std::vector<std::uint8_t> rest = {
        0xFF, 0xC1, 0x00, 0x0B,  // SOF1 (extended sequential), 11 bytes
        0x0C,                    //   12-bit samples
        0x00, 0x10, 0x00, 0x10,  //   16 x 16
        0x01,                    //   one component:
        0x01, 0x11, 0x00,        //     id 1, sampling 1x1, quantisation table 0
        0xFF, 0xC4, 0x00, 0x14,  // DHT, 20 bytes
        0x00,                    //   DC table 0
        0x01, 0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //   one 1-bit code
        0x00,                                                        //   for category 0
        0xFF, 0xC4, 0x00, 0x14,                                      // DHT, 20 bytes
        0x10,                                                        //   AC table 0
        0x01, 0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //   one 1-bit code
        0x00,                                                        //   for end of block
        0xFF, 0xDA, 0x00, 0x08,                                      // SOS, 8 bytes
        0x01, 0x01, 0x00,  //   one component: id 1, tables 0 and 0
        0x00, 0x3F, 0x00,  //   coefficients 0..63, no successive approximation
        0x00,              // entropy-coded data: four blocks, each DC 0 and end of block
        0xFF, 0xD9,        // EOI
    };
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    return bytes;
}

std::vector<RejectedImage> BuildRejected() {
    using namespace image;
    std::vector<RejectedImage> rejected;
    const std::string dir = SourceDir();
    rejected.push_back({"arithmetic-coded", ReadFileBytes(dir + "/" + kArithmeticJpeg), kImageOk,
                        kBadJpegHeader, kJpegFrameType});
    rejected.push_back(
        {"12-bit samples", TwelveBitFrame(), kImageOk, kBadJpegHeader, kJpegPrecision});
    // A lossless frame (SOF3) with one component, a one-code DC table, a scan and EOI.
    const std::vector<std::uint8_t> lossless = {
        0xFF, 0xD8,                                                  // SOI
        0xFF, 0xC3, 0x00, 0x0B, 0x08, 0x00, 0x10, 0x00, 0x10, 0x01,  // SOF3 8-bit 16x16, 1 comp
        0x01, 0x11, 0x00,                                            //   id 1, 1x1, table 0
        0xFF, 0xC4, 0x00, 0x14, 0x00, 0x01, 0,    0,    0,    0,
        0,    0,    0,    0,    0,    0,                             // DHT DC 0: one 1-bit code
        0,    0,    0,    0,    0,    0x00,                          //   symbol 0
        0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00,  // SOS predictor 1
        0x00, 0x00, 0xFF, 0xD9};
    rejected.push_back({"lossless", lossless, kImageOk, kBadJpegHeader, kJpegFrameType});

    const std::vector<std::uint8_t> original = ReadFileBytes(dir + "/" + kPictureJpeg);
    if (original.size() > 20) {
        rejected.push_back({"no SOI",
                            std::vector<std::uint8_t>(original.begin() + 2, original.end()),
                            kBadJpegHeader, kBadJpegHeader, kJpegNoSoi});
        std::vector<std::uint8_t> not_jfif = original;
        if (not_jfif[2] == 0xFF && not_jfif[3] == 0xE0) not_jfif[8] = 'X';  // "JFIF" -> "JFXF"
        rejected.push_back(
            {"first APP0 not JFIF", not_jfif, kBadJpegHeader, kBadJpegHeader, kJpegNotJfif});
        const std::vector<std::size_t> scans = ScanMarkerOffsets(original);
        if (!scans.empty()) {
            std::vector<std::uint8_t> early(
                original.begin(), original.begin() + static_cast<std::ptrdiff_t>(scans[0]));
            rejected.push_back({"EOI before SOS", Concat(early, {0xFF, 0xD9}), kBadJpegHeader,
                                kBadJpegHeader, kJpegEoiBeforeScan});
        }
    }
    return rejected;
}

}  // namespace

const std::string& SourceDir() {
    static const bool made = !CorpusDir().empty() && MakeSources(CorpusDir());
    static const std::string none;
    return made ? CorpusDir() : none;
}

const std::string& CorpusDir() {
    static TempFolder folder;
    return folder.path;
}

const std::vector<CorpusImage>& DecodableCorpus() {
    static const std::vector<CorpusImage> corpus = BuildDecodable();
    return corpus;
}

const std::vector<RejectedImage>& RejectedCorpus() {
    static const std::vector<RejectedImage> rejected = BuildRejected();
    return rejected;
}

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

int RunExitStatus(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

bool RunQuiet(const std::string& command, bool warnings_ok) {
    const int code = RunExitStatus(command);
    return code == 0 || (warnings_ok && code == 2);
}

namespace {

// Walks the segments of a well-formed file, calling scan(header_start, data_start, data_end)
// for every start-of-scan.
template <class OnScan>
void WalkSegments(const std::vector<std::uint8_t>& b, OnScan on_scan) {
    std::size_t pos = 2;
    while (pos + 4 <= b.size()) {
        if (b[pos] != 0xFF) return;
        const std::uint8_t marker = b[pos + 1];
        if (marker == 0xFF) {
            ++pos;
            continue;
        }
        if (marker == 0xD9) return;
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            pos += 2;
            continue;
        }
        const std::size_t length = std::size_t{b[pos + 2]} << 8 | b[pos + 3];
        const std::size_t next = pos + 2 + length;
        if (marker != 0xDA) {
            pos = next;
            continue;
        }
        std::size_t end = next;
        while (end + 1 < b.size() &&
               !(b[end] == 0xFF && b[end + 1] != 0x00 && (b[end + 1] < 0xD0 || b[end + 1] > 0xD7)))
            ++end;
        if (end + 1 >= b.size()) end = b.size();
        on_scan(pos, next, end);
        pos = end;
    }
}

}  // namespace

std::vector<std::size_t> ScanMarkerOffsets(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::size_t> offsets;
    WalkSegments(bytes,
                 [&](std::size_t header, std::size_t, std::size_t) { offsets.push_back(header); });
    return offsets;
}

std::vector<std::pair<std::size_t, std::size_t>> EntropyRanges(
    const std::vector<std::uint8_t>& bytes) {
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    WalkSegments(bytes, [&](std::size_t, std::size_t first, std::size_t last) {
        ranges.emplace_back(first, last);
    });
    return ranges;
}

}  // namespace testsupport
