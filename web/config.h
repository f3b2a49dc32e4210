// The serve configuration: where the server listens, its token, and each camera with the picture
// and play settings of its control, read from a JSON file (`cameras.json`). The hard part is
// saying exactly what is wrong: every error names the field's path ("cameras[2].zoom: 0 is
// outside 1..8"). It checks values only; starting cameras and listening are left to others.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace web {

inline constexpr const char* kDefaultListenHost = "127.0.0.1";
inline constexpr int kDefaultPort = 8080;
inline constexpr int kDefaultMaxConnections = 64;
inline constexpr int kMaxConnectionsLimit = 4096;
inline constexpr int kDefaultQuality = 85;
inline constexpr int kMaxCameras = 64;
inline constexpr std::size_t kMaxCameraNameBytes = 32;
inline constexpr std::size_t kMaxTargetBytes = 63;   // RemoteHost keeps 63 characters
inline constexpr std::size_t kMaxUserBytes = 12;     // characters the control sends
inline constexpr std::size_t kMaxPasswordBytes = 8;  // characters the control sends
inline constexpr std::size_t kMinTokenBytes = 16;
inline constexpr std::size_t kMaxTokenBytes = 256;
inline constexpr int kMinZoom = 1;
inline constexpr int kMaxZoom = 8;
inline constexpr int kMaxTimeoutSeconds = 300;
inline constexpr std::uint32_t kDefaultBackground = 0x808080;  // 0xRRGGBB, mid grey

// How a camera's control plays: only while someone watches (stopped a while after the last
// viewer leaves), or all the time.
enum class PlayPolicy { kWatched, kAlways };
const char* to_string(PlayPolicy policy);

struct CameraConfig {
    std::string name;    // [A-Za-z0-9_-], used in URLs and frame tags
    std::string target;  // what a script gives RemoteHost
    std::string user;
    std::string password;
    int auth_type = 0;
    int preview_width = 320;
    int preview_height = 240;
    int zoom = 1;
    int resize = 0;
    int display = 0;
    int depth = 32;
    std::uint32_t background = kDefaultBackground;  // 0xRRGGBB
    int timeout = 0;                                // seconds; 0 keeps the control's default
    int quality = kDefaultQuality;                  // JPEG quality of the encoded window
    PlayPolicy play = PlayPolicy::kWatched;
    std::vector<std::string> allow;  // further targets the web may set (RemoteHost and ports)
};

struct ServeConfig {
    std::string listen_host = kDefaultListenHost;
    int port = kDefaultPort;
    std::string token;  // empty: a random token at each start
    int max_connections = kDefaultMaxConnections;
    std::vector<CameraConfig> cameras;
};

// Parses a configuration text. False with "PATH: what is wrong" in *error.
bool ParseServeConfig(const std::string& text, ServeConfig* config, std::string* error);

// "host:port" (an IPv4 address or a name, port 0..65535 where 0 is any free one; "[v6]:port"
// too). False when malformed.
bool ParseListen(const std::string& text, std::string* host, int* port);

// A camera name usable in a URL path and a frame tag.
bool IsCameraName(const std::string& name);

// The target with any "user:password@" removed: what may be shown.
std::string TargetWithoutCredentials(const std::string& target);

// True when host names the loopback interface (127.0.0.0/8, ::1, localhost).
bool IsLoopbackHost(const std::string& host);

}  // namespace web
