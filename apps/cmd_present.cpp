// `quorlina present FRAME.jpg OUT.bmp`: shows one JPEG the way the control shows a stream frame
// (FrameBuffer, PresentFrame, the window on a screen of the chosen depth) and writes the
// window's pixels as a BMP file.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "apps/cli.h"
#include "apps/picture_file.h"
#include "apps/host.h"
#include "apps/window_bmp.h"
#include "image/jpeg_decoder.h"
#include "stream/present_frame.h"

namespace apps {
namespace {

int Present(int argc, char** argv) {
    CLI::App app{
        "Presents one JPEG frame in a headless control window and writes the window's "
        "pixels as a BMP file (24-bit for 32-bit screens, 8- or 4-bit with the system "
        "palette for palette screens).",
        argv[0]};
    std::string frame_path;
    std::string out_path;
    PictureOptions picture;
    app.add_option("frame", frame_path, "JPEG file, or - for standard input")->required();
    app.add_option("out", out_path,
                   "picture to write: .bmp, .png or .jpg, or - for BMP on standard output")
        ->required();
    AddPictureOptions(app, picture);
    ParseOrExit(app, argc, argv);

    PictureFormat format;
    std::string error;
    std::vector<std::uint8_t> bytes;
    if (!PictureFormatOf(out_path, &format, &error) ||
        !ReadInputFile(frame_path, &bytes, &error)) {
        std::fprintf(stderr, "quorlina present: %s\n", error.c_str());
        return 2;
    }
    if (bytes.size() > static_cast<std::size_t>(control::kFrameBufferBytes)) {
        std::fprintf(stderr,
                     "quorlina present: \"%s\" has %zu bytes, more than the frame buffer's %d\n",
                     frame_path.c_str(), bytes.size(), control::kFrameBufferBytes);
        return 1;
    }

    control::CQuorlina* c = CreatePictureControl({}, picture);
    if (c == nullptr) {
        std::fprintf(stderr, "quorlina present: cannot make the screen\n");
        return 1;
    }
    platform::PumpMessages();  // the window's first paint: its background
    stream::StoreFrame(*c, bytes.data(), static_cast<int>(bytes.size()));
    const int result = stream::PresentFrame(*c, 0);
    if (result != 0) {
        const std::int32_t cause = image::ExtendedError();
        std::fprintf(stderr, "quorlina present: frame not shown: %d (%s)%s%s\n", result,
                     image::to_string(result), cause != 0 ? ", " : "",
                     cause != 0 ? image::ExtendedErrorText(cause) : "");
        DestroyHostedControl(c);
        return 1;
    }
    platform::WindowPixels pixels;
    platform::ReadWindowPixels(c->Window.load(), &pixels);
    DestroyHostedControl(c);
    if (!WriteWindowPicture(out_path, pixels, &error)) {
        std::fprintf(stderr, "quorlina present: %s\n", error.c_str());
        return 1;
    }
    image::JpegInfo info;
    image::ReadJpegInfo(bytes.data(), bytes.size(), &info);
    std::fprintf(out_path == "-" ? stderr : stdout, "frame %dx%d shown at %s zoom %d in a %dx%d window on a %d-bit screen: %s\n",
                info.Width, info.Height, picture.preview.c_str(), picture.zoom, pixels.width,
                pixels.height, picture.depth, out_path.c_str());
    return 0;
}

const SubcommandRegistrar kRegistrar{
    {"present", "show one JPEG frame in a control window and write it as BMP", &Present}};

}  // namespace
}  // namespace apps
