// `bench_report DIR`: reads the benchmark results that scripts/bench.sh left in DIR (Google
// Benchmark JSON), prints each figure beside its reference with the ratio and whether its goal
// is met, and writes the same as DIR/summary.json. Missing or failed benchmarks show as such.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

// Benchmark name without the suffixes Google Benchmark adds for its run options.
std::string BaseName(std::string name) {
    for (const char* suffix : {"/min_time:", "/iterations:", "/real_time", "/manual_time"}) {
        const std::size_t at = name.find(suffix);
        if (at != std::string::npos) name.erase(at);
    }
    return name;
}

std::map<std::string, json> LoadRuns(const std::filesystem::path& dir) {
    std::map<std::string, json> runs;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".json" || entry.path().filename() == "summary.json")
            continue;
        std::ifstream in(entry.path());
        const json doc = json::parse(in, nullptr, false);
        if (doc.is_discarded() || !doc.contains("benchmarks")) {
            std::fprintf(stderr, "bench_report: %s is not a benchmark result, skipped\n",
                         entry.path().c_str());
            continue;
        }
        // With --benchmark_repetitions the median of the repetitions stands for the benchmark
        // (it comes after them); other aggregates are skipped.
        for (const json& run : doc["benchmarks"]) {
            std::string name = run.value("name", "");
            if (run.value("run_type", "iteration") != "iteration") {
                const std::string suffix = "_median";
                if (run.value("aggregate_name", "") != "median" || name.size() < suffix.size())
                    continue;
                name.erase(name.size() - suffix.size());
            }
            runs[BaseName(name)] = run;
        }
    }
    return runs;
}

std::optional<double> Counter(const std::map<std::string, json>& runs, const std::string& name,
                              const char* counter) {
    const auto it = runs.find(name);
    if (it == runs.end() || it->second.value("error_occurred", false) ||
        !it->second.contains(counter))
        return std::nullopt;
    return it->second[counter].get<double>();
}

std::string Why(const std::map<std::string, json>& runs, const std::string& name) {
    const auto it = runs.find(name);
    if (it == runs.end()) return "not run";
    return it->second.value("error_message", "no figure");
}

json Number(std::optional<double> v) { return v ? json(*v) : json(nullptr); }

const char* YesNo(bool met) { return met ? "yes" : "NO"; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
        std::fprintf(argc == 2 ? stdout : stderr,
                     "usage: bench_report DIR\n"
                     "  prints the benchmark results in DIR side by side with their references\n"
                     "  and writes DIR/summary.json\n");
        return argc == 2 ? 0 : 2;
    }
    const std::filesystem::path dir = argv[1];
    if (!std::filesystem::is_directory(dir)) {
        std::fprintf(stderr, "bench_report: %s: not a directory\n", argv[1]);
        return 2;
    }
    const std::map<std::string, json> runs = LoadRuns(dir);
    json summary;

    std::printf("\n== Decode, megapixels per second (ours vs TurboJPEG, goal: ratio >= 1.0)\n");
    std::printf("%-8s %-28s %9s %9s %7s %5s %9s %s\n", "picture", "encoding", "ours", "turbo",
                "ratio", "goal", "bytes", "fits 140000");
    const char* encodings[] = {"640x480_420_q75", "640x480_444_q90", "640x480_grey_q75",
                               "640x480_progressive_420_q75", "1280x720_420_q85"};
    for (const char* picture : {"camera", "natural"}) {
        for (const char* encoding : encodings) {
            const std::string suffix = std::string(picture) + "/" + encoding;
            const auto ours = Counter(runs, "Decode/ours/" + suffix, "Mpx_per_s");
            const auto turbo = Counter(runs, "Decode/turbo/" + suffix, "Mpx_per_s");
            const auto bytes = Counter(runs, "Decode/ours/" + suffix, "bytes");
            json row = {{"picture", picture}, {"encoding", encoding},
                        {"ours_Mpx_per_s", Number(ours)}, {"turbo_Mpx_per_s", Number(turbo)},
                        {"bytes", Number(bytes)}};
            if (ours && turbo) {
                const double ratio = *ours / *turbo;
                row["ratio"] = ratio;
                row["goal_met"] = ratio >= 1.0;
                std::printf("%-8s %-28s %9.1f %9.1f %7.2f %5s %9.0f %s\n", picture, encoding,
                            *ours, *turbo, ratio, YesNo(ratio >= 1.0), bytes.value_or(0),
                            bytes && *bytes <= 140000 ? "yes" : "no");
            } else {
                std::printf("%-8s %-28s %s\n", picture, encoding,
                            Why(runs, "Decode/ours/" + suffix).c_str());
            }
            summary["decode"].push_back(row);
        }
    }

    // Both decoders take turns on the same bytes, so both see the same machine load; the ratio
    // is TurboJPEG's CPU time over ours, decode by decode.
    std::printf("\n== Decode margin, ours against TurboJPEG in alternate decodes, thread CPU time, "
                "median of the per-pair ratios (goal: ours >= 1.25 x TurboJPEG on the natural "
                "640x480 4:2:0 q75 picture)\n");
    {
        const std::string name = "DecodeMargin/natural/640x480_420";
        const auto ratio = Counter(runs, name, "ratio");
        const auto q1 = Counter(runs, name, "ratio_q1");
        const auto q3 = Counter(runs, name, "ratio_q3");
        const auto ours = Counter(runs, name, "ours_cpu_ms");
        const auto turbo = Counter(runs, name, "turbo_cpu_ms");
        const auto pairs = Counter(runs, name, "pairs");
        json row = {{"picture", "natural"}, {"encoding", "640x480_420_q75"},
                    {"ratio", Number(ratio)}, {"ratio_q1", Number(q1)},
                    {"ratio_q3", Number(q3)}, {"ours_cpu_ms", Number(ours)},
                    {"turbo_cpu_ms", Number(turbo)}, {"pairs", Number(pairs)}};
        if (ratio && q1 && q3 && ours && turbo) {
            row["goal_met"] = *ratio >= 1.25;
            std::printf("ratio %.3f (quartiles %.3f-%.3f)  ours %.3f ms  turbo %.3f ms  %.0f pairs"
                        "  goal %s\n",
                        *ratio, *q1, *q3, *ours, *turbo, pairs.value_or(0),
                        YesNo(*ratio >= 1.25));
        } else {
            std::printf("%s\n", Why(runs, name).c_str());
        }
        summary["decode_margin"] = row;
    }

    std::printf("\n== Big pictures, `quorlina decode` against djpeg on 3200x2400, whole process, "
                "medians (goal: speed >= 1.0 x djpeg, peak memory <= 1.2 x the output file)\n");
    std::printf("%-22s %9s %9s %7s %10s %10s %8s %5s\n", "encoding", "ours s", "djpeg s",
                "speed", "ours MB", "djpeg MB", "x file", "goal");
    for (const char* kind : {"420_q75", "444_q90", "progressive_420_q75"}) {
        const std::string name = std::string("BigDecode/") + kind;
        const auto ours = Counter(runs, name, "ours_wall_s");
        const auto djpeg = Counter(runs, name, "djpeg_wall_s");
        const auto ours_kb = Counter(runs, name, "ours_peak_kb");
        const auto djpeg_kb = Counter(runs, name, "djpeg_peak_kb");
        const auto file = Counter(runs, name, "output_bytes");
        json row = {{"encoding", kind}, {"ours_wall_s", Number(ours)},
                    {"djpeg_wall_s", Number(djpeg)}, {"ours_peak_kb", Number(ours_kb)},
                    {"djpeg_peak_kb", Number(djpeg_kb)}, {"output_bytes", Number(file)}};
        if (ours && djpeg && ours_kb && djpeg_kb && file && *ours > 0 && *file > 0) {
            const double speed = *djpeg / *ours;
            const double memory = *ours_kb * 1024 / *file;
            const bool met = speed >= 1.0 && memory <= 1.2;
            row["speed"] = speed;
            row["peak_over_file"] = memory;
            row["goal_met"] = met;
            std::printf("%-22s %9.3f %9.3f %7.2f %10.1f %10.1f %8.2f %5s\n", kind, *ours, *djpeg,
                        speed, *ours_kb / 1024, *djpeg_kb / 1024, memory, YesNo(met));
        } else {
            std::printf("%-22s %s\n", kind, Why(runs, name).c_str());
        }
        summary["big_decode"].push_back(row);
    }

    std::printf("\n== Resize, megapixels of output per second\n");
    for (const char* size : {"320x240_to_640x480", "640x480_to_320x240", "640x480_to_700x300"}) {
        for (const char* method : {"nearest", "smooth"}) {
            const std::string name = std::string("Resize/") + size + "/" + method;
            const auto rate = Counter(runs, name, "Mpx_per_s");
            std::printf("%-20s %-8s %9s\n", size, method,
                        rate ? std::to_string(*rate).substr(0, 7).c_str() : Why(runs, name).c_str());
            summary["resize"].push_back({{"sizes", size}, {"method", method},
                                         {"Mpx_per_s", Number(rate)}});
        }
    }

    // CPU time: on a machine shared with other work the wall time also counts the waits.
    std::printf("\n== Palette screens, CPU ms to show a decoded 640x480 frame (goal: adaptive and "
                "diffusion <= 2, ordered <= 1)\n");
    std::printf("%-8s %-22s %9s %5s\n", "picture", "screen", "CPU ms", "goal");
    for (int natural : {0, 1}) {
        const struct {
            int depth, mode;
            const char* what;
            double goal;
        } screens[] = {{8, 0, "8-bit adaptive", 2.0},
                       {8, 2, "8-bit diffusion", 2.0},
                       {8, 1, "8-bit ordered", 1.0},
                       {32, 0, "32-bit (reference)", 0}};
        const char* picture = natural != 0 ? "natural" : "camera";
        for (const auto& sc : screens) {
            const std::string name = "BM_PaletteScreen/depth:" + std::to_string(sc.depth) +
                                     "/display:" + std::to_string(sc.mode) +
                                     "/natural:" + std::to_string(natural);
            const auto ms = Counter(runs, name, "cpu_time");
            json row = {{"picture", picture}, {"screen", sc.what}, {"cpu_ms", Number(ms)}};
            if (ms) {
                if (sc.goal > 0) row["goal_met"] = *ms <= sc.goal;
                std::printf("%-8s %-22s %9.3f %5s\n", picture, sc.what, *ms,
                            sc.goal > 0 ? YesNo(*ms <= sc.goal) : "");
            } else {
                std::printf("%-8s %-22s %s\n", picture, sc.what, Why(runs, name).c_str());
            }
            summary["palette_screens"].push_back(row);
        }
    }

    std::printf("\n== End to end, CPU ms per frame, 640x480 at 25 fps, median of interleaved "
                "runs (goal: ours <= 0.5 x ffmpeg in every run)\n");
    {
        const auto ours = Counter(runs, "EndToEnd", "ours_cpu_ms_per_frame");
        const auto ffmpeg = Counter(runs, "EndToEnd", "ffmpeg_cpu_ms_per_frame");
        const auto ratio = Counter(runs, "EndToEnd", "ratio_ours_to_ffmpeg");
        const auto low = Counter(runs, "EndToEnd", "ratio_low");
        const auto high = Counter(runs, "EndToEnd", "ratio_high");
        const auto rounds = Counter(runs, "EndToEnd", "rounds");
        json row = {{"ours_cpu_ms_per_frame", Number(ours)},
                    {"ffmpeg_cpu_ms_per_frame", Number(ffmpeg)}, {"ratio", Number(ratio)},
                    {"ratio_low", Number(low)}, {"ratio_high", Number(high)},
                    {"rounds", Number(rounds)}};
        if (ours && ffmpeg && ratio && low && high) {
            row["goal_met"] = *high <= 0.5;
            std::printf("ours %.3f  ffmpeg %.3f  ratio %.2f (runs %.2f to %.2f, %.0f runs)  "
                        "goal %s\n",
                        *ours, *ffmpeg, *ratio, *low, *high, rounds.value_or(0),
                        YesNo(*high <= 0.5));
        } else {
            std::printf("%s\n", Why(runs, "EndToEnd").c_str());
        }
        summary["end_to_end"] = row;
    }

    std::printf("\n== Wall of 16 cameras, 640x480 at 25 fps, 32-bit screens at zoom 1, CPU ms "
                "per frame against 16 ffmpeg -threads 1, median of interleaved runs (goal: ours "
                "<= 0.5 x ffmpeg)\n");
    {
        const auto ours = Counter(runs, "Wall", "ours_cpu_ms_per_frame");
        const auto ffmpeg = Counter(runs, "Wall", "ffmpeg_cpu_ms_per_frame");
        const auto our_cores = Counter(runs, "Wall", "ours_cores_busy");
        const auto their_cores = Counter(runs, "Wall", "ffmpeg_cores_busy");
        const auto ratio = Counter(runs, "Wall", "ratio_ours_to_ffmpeg");
        const auto low = Counter(runs, "Wall", "ratio_low");
        const auto high = Counter(runs, "Wall", "ratio_high");
        const auto rounds = Counter(runs, "Wall", "rounds");
        json row = {{"ours_cpu_ms_per_frame", Number(ours)},
                    {"ffmpeg_cpu_ms_per_frame", Number(ffmpeg)},
                    {"ours_cores_busy", Number(our_cores)},
                    {"ffmpeg_cores_busy", Number(their_cores)}, {"ratio", Number(ratio)},
                    {"ratio_low", Number(low)}, {"ratio_high", Number(high)},
                    {"rounds", Number(rounds)}};
        if (ours && ffmpeg && our_cores && their_cores && ratio && low && high) {
            row["goal_met"] = *ratio <= 0.5;
            std::printf("ours %.3f (%.2f cores busy)  ffmpeg %.3f (%.2f cores busy)  ratio %.2f "
                        "(runs %.2f to %.2f, %.0f runs)  goal %s\n",
                        *ours, *our_cores, *ffmpeg, *their_cores, *ratio, *low, *high,
                        rounds.value_or(0), YesNo(*ratio <= 0.5));
        } else {
            std::printf("%s\n", Why(runs, "Wall").c_str());
        }
        summary["wall"] = row;
    }

    std::printf("\n== Scaling, controls each running its session's work on a stream fed from "
                "memory, medians of interleaved rounds (goal: 2 controls >= 1.8 x 1; \"machine\" "
                "is the counting as many plain threads did against one in the same rounds)\n");
    bool scaling_failed = false;
    {
        const auto rounds = Counter(runs, "Scaling", "rounds");
        if (!rounds) {
            // A failed run is not a figure: say why, loudly, and fail the report.
            const std::string why = Why(runs, "Scaling");
            std::printf("FAILED: %s\n", why.c_str());
            summary["scaling"] = {{"error", why}};
            scaling_failed = runs.count("Scaling") != 0;
        } else {
            std::printf("%8s %22s %14s %11s %22s %8s\n", "controls", "frames/s (low-high)",
                        "CPU ms/frame", "cores busy", "x one (low-high)", "machine");
            for (int n : {1, 2, 4, 8}) {
                const std::string k = std::to_string(n);
                auto get = [&](const std::string& c) {
                    return Counter(runs, "Scaling", c.c_str()).value_or(0);
                };
                const double fps = get("fps_" + k), x = get("speedup_" + k);
                std::printf("%8d %8.1f (%5.0f-%5.0f) %14.3f %11.2f %8.2f (%4.2f-%4.2f) %7.2fx\n",
                            n, fps, get("fps_" + k + "_low"), get("fps_" + k + "_high"),
                            get("cpu_ms_per_frame_" + k), get("cores_busy_" + k), x,
                            get("speedup_" + k + "_low"), get("speedup_" + k + "_high"),
                            get("machine_speedup_" + k));
                summary["scaling"]["controls"].push_back(
                    {{"controls", n}, {"frames_per_s", fps},
                     {"frames_per_s_low", get("fps_" + k + "_low")},
                     {"frames_per_s_high", get("fps_" + k + "_high")},
                     {"cpu_ms_per_frame", get("cpu_ms_per_frame_" + k)},
                     {"cores_busy", get("cores_busy_" + k)}, {"speedup", x},
                     {"speedup_low", get("speedup_" + k + "_low")},
                     {"speedup_high", get("speedup_" + k + "_high")},
                     {"machine_speedup", get("machine_speedup_" + k)}});
            }
            const double two = Counter(runs, "Scaling", "speedup_2").value_or(0);
            summary["scaling"]["rounds"] = *rounds;
            summary["scaling"]["goal_met"] = two >= 1.8;
            std::printf("%.0f rounds  goal %s\n", *rounds, YesNo(two >= 1.8));
            // When the machine itself did not give two busy threads the cores for it, the
            // speedup says nothing about the controls; their CPU per frame still does.
            const double machine = Counter(runs, "Scaling", "machine_speedup_2").value_or(0);
            const double cpu_one = Counter(runs, "Scaling", "cpu_ms_per_frame_1").value_or(0);
            const double cpu_two = Counter(runs, "Scaling", "cpu_ms_per_frame_2").value_or(0);
            if (machine < 1.8 && cpu_two > 0) {
                std::printf("not judgeable in this run: two plain counting threads did %.2f x "
                            "one thread's counting; the controls' CPU per frame at 2 is %.2f x that at 1, "
                            "which on two free cores would give %.2f x one control's rate (a "
                            "projection, not a measurement)\n",
                            machine, cpu_two / cpu_one, 2 * cpu_one / cpu_two);
                summary["scaling"]["judgeable"] = false;
                summary["scaling"]["projected_on_two_free_cores"] = 2 * cpu_one / cpu_two;
            }
        }
    }

    std::printf("\n== Idle, a playing control whose camera sends nothing (goal: < 1%% of a core)\n");
    {
        const auto share = Counter(runs, "Idle", "cpu_percent_of_a_core");
        summary["idle"] = {{"cpu_percent_of_a_core", Number(share)}};
        if (share) {
            summary["idle"]["goal_met"] = *share < 1.0;
            std::printf("%.3f %% of a core  goal %s\n", *share, YesNo(*share < 1.0));
        } else {
            std::printf("%s\n", Why(runs, "Idle").c_str());
        }
    }

    std::printf("\n== Latency, last byte sent to pixels in the window, 25 fps "
                "(goal: p99 < 5 ms + one decode)\n");
    {
        const auto median = Counter(runs, "Latency", "median_ms");
        const auto p99 = Counter(runs, "Latency", "p99_ms");
        const auto decode = Counter(runs, "Latency", "decode_ms");
        summary["latency"] = {{"median_ms", Number(median)}, {"p99_ms", Number(p99)},
                              {"decode_ms", Number(decode)}};
        if (median && p99 && decode) {
            const bool met = *p99 < 5.0 + *decode;
            summary["latency"]["goal_met"] = met;
            std::printf("median %.2f ms  p99 %.2f ms  decode %.2f ms  goal %s\n", *median, *p99,
                        *decode, YesNo(met));
        } else {
            std::printf("%s\n", Why(runs, "Latency").c_str());
        }
    }

    std::printf("\n== Web server CPU, `quorlina serve` process, one camera 640x480 at 25 fps over "
                "WebSocket, medians of interleaved rounds (goal: 50 viewers <= 1.5 x 1 viewer)\n");
    std::printf("%-11s %12s %12s %8s %13s %12s %5s\n", "frames", "1 viewer %", "50 viewers %",
                "ratio", "(low-high)", "slowest fps", "goal");
    for (const char* mode : {"Forwarding", "Encoding"}) {
        const std::string name = std::string("OneCamera") + mode;
        const auto one = Counter(runs, name, "cpu_percent_1");
        const auto many = Counter(runs, name, "cpu_percent_50");
        const auto ratio = Counter(runs, name, "ratio_50_to_1");
        const auto low = Counter(runs, name, "ratio_low");
        const auto high = Counter(runs, name, "ratio_high");
        const auto fps = Counter(runs, name, "slowest_viewer_fps_50");
        const char* what = std::string(mode) == "Forwarding" ? "forwarded" : "encoded";
        json row = {{"frames", what}, {"cpu_percent_1", Number(one)},
                    {"cpu_percent_50", Number(many)}, {"ratio", Number(ratio)},
                    {"ratio_low", Number(low)}, {"ratio_high", Number(high)},
                    {"slowest_viewer_fps_50", Number(fps)}};
        if (one && many && ratio && low && high) {
            row["goal_met"] = *ratio <= 1.5;
            std::printf("%-11s %12.2f %12.2f %8.2f  (%4.2f-%4.2f) %12.1f %5s\n", what, *one, *many,
                        *ratio, *low, *high, fps.value_or(0), YesNo(*ratio <= 1.5));
        } else {
            std::printf("%-11s %s\n", what, Why(runs, name).c_str());
        }
        summary["web_viewers"].push_back(row);
    }

    std::printf("\n== Web latency, the camera's last byte of a frame to that frame's message at a "
                "viewer, forwarded frames (goal: p99 < 10 ms)\n");
    std::printf("%8s %8s %10s %8s %5s\n", "viewers", "frames", "median ms", "p99 ms", "goal");
    for (const char* n : {"1", "50"}) {
        const std::string k = n;
        const auto frames = Counter(runs, "OneCameraForwarding", ("latency_frames_" + k).c_str());
        const auto median =
            Counter(runs, "OneCameraForwarding", ("latency_median_ms_" + k).c_str());
        const auto p99 = Counter(runs, "OneCameraForwarding", ("latency_p99_ms_" + k).c_str());
        json row = {{"viewers", std::atoi(n)}, {"frames", Number(frames)},
                    {"median_ms", Number(median)}, {"p99_ms", Number(p99)}};
        if (frames && median && p99) {
            row["goal_met"] = *p99 < 10.0;
            std::printf("%8s %8.0f %10.2f %8.2f %5s\n", n, *frames, *median, *p99,
                        YesNo(*p99 < 10.0));
        } else {
            std::printf("%8s %s\n", n, Why(runs, "OneCameraForwarding").c_str());
        }
        summary["web_latency"].push_back(row);
    }

    std::printf("\n== Web page, 16 cameras 640x480 at 10 fps on one WebSocket, server CPU, median "
                "of rounds (goal: <= 50 %% of a core)\n");
    {
        const auto cpu = Counter(runs, "SixteenCameras", "cpu_percent");
        const auto low = Counter(runs, "SixteenCameras", "cpu_percent_low");
        const auto high = Counter(runs, "SixteenCameras", "cpu_percent_high");
        const auto fps = Counter(runs, "SixteenCameras", "page_fps");
        summary["web_page"] = {{"cpu_percent", Number(cpu)}, {"cpu_percent_low", Number(low)},
                               {"cpu_percent_high", Number(high)}, {"page_fps", Number(fps)}};
        if (cpu && low && high) {
            summary["web_page"]["goal_met"] = *cpu <= 50.0;
            std::printf("%.1f %% of a core (%.1f-%.1f), the page received %.1f frames/s  goal %s\n",
                        *cpu, *low, *high, fps.value_or(0), YesNo(*cpu <= 50.0));
        } else {
            std::printf("%s\n", Why(runs, "SixteenCameras").c_str());
        }
    }

    const std::filesystem::path out = dir / "summary.json";
    const std::filesystem::path temp = dir / "summary.json.tmp";
    {
        std::ofstream file(temp);
        file << summary.dump(2) << "\n";
        if (!file) {
            std::fprintf(stderr, "bench_report: cannot write %s\n", temp.c_str());
            return 1;
        }
    }
    std::filesystem::rename(temp, out);
    std::printf("\nsummary: %s\n", out.c_str());
    if (scaling_failed) {
        std::fprintf(stderr, "bench_report: the scaling figure is not trustworthy (see above)\n");
        return 1;
    }
    return 0;
}
