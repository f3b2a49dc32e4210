// The JPEG test corpus: built once per test process into a temporary folder, from pictures the
// tests draw themselves, with cjpeg, jpegtran and TurboJPEG (qualities, samplings, restart
// intervals, optimised tables, progressive and multi-scan scripts, odd sizes), plus the kinds the
// decoder must refuse. Leaves comparing and decoding to the tests; helpers here only make files and
// run tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/image_result.h"

namespace testsupport {

struct CorpusImage {
    std::string name;  // what was made, e.g. "q75 sample 2x1 restart 4B"
    std::string path;  // the JPEG file in the corpus folder
    std::vector<std::uint8_t> bytes;
    bool multi_scan = false;  // progressive or split into several scans
    // The file to hand djpeg for the expected picture: the image itself, or for a progressive
    // image cut short its coefficients rewritten by jpegtran as a complete sequential file (djpeg
    // would otherwise smooth the blocks whose bands are missing).
    std::string reference_path;
};

struct RejectedImage {
    std::string name;
    std::vector<std::uint8_t> bytes;
    image::ImageResult info_result;    // ReadJpegInfo
    image::ImageResult decode_result;  // DecodeJpeg into a buffer sized from the info
    std::int32_t extended_error;       // ExtendedError() after the refusing call
};

// Images every decoder of this format should read; empty (with a test failure reported by the
// caller) when the tools are missing.
const std::vector<CorpusImage>& DecodableCorpus();
const std::vector<RejectedImage>& RejectedCorpus();

// The folder holding the corpus files (created on first use, removed at process exit).
const std::string& CorpusDir();

// The folder holding the corpus's sources, made on first use: "picture.ppm" (the drawn picture),
// "picture.jpg" (its TurboJPEG encoding), "arithmetic.jpg" (arithmetic-coded, refused), scan
// scripts such as "refined_bands.scan", crops and palette BMPs. Empty (with a test failure) when
// they cannot be made.
const std::string& SourceDir();

std::vector<std::uint8_t> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Runs a shell command with stdout and stderr discarded; true when it exited with status 0
// (or, with warnings_ok, with djpeg's warning status 2).
bool RunQuiet(const std::string& command, bool warnings_ok = false);

// Exit status of a shell command with its output discarded (-1 when it did not exit normally).
int RunExitStatus(const std::string& command);

// Positions of the start-of-scan markers (0xFF 0xDA) outside entropy-coded data.
std::vector<std::size_t> ScanMarkerOffsets(const std::vector<std::uint8_t>& bytes);

// Byte ranges [first, last) of entropy-coded data, one per scan.
std::vector<std::pair<std::size_t, std::size_t>> EntropyRanges(
    const std::vector<std::uint8_t>& bytes);

}  // namespace testsupport
