// SPDX-License-Identifier: GPL-3.0-or-later
// The engine against its codec floor, on generated photographs from a 64 x 48
// preview thumbnail to 48 megapixels. For each size it runs, through
// matchengine_bench_host (a small process that plays the host), the real engine
// binary with PNG and JPG output, with and without LUT export, and the codec
// floor (decode both images, encode the result with the same parameters); and
// once the capability query. It prints wall and CPU times, the ratios engine /
// floor, peak memory, and the engine's time between its progress codes. Then,
// unless --no-encoders, it times PNG encoders alone on each decoded target
// (png_encoders.cpp). `matchengine_bench --help` lists the options.
#include "png_encoders.h"
#include "host/host.h"

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Camera-like frames (3:2) and references of about half their pixel count;
// and a host's preview thumbnail against a reference thumbnail.
struct SizeCase {
    const char *key;   // as --sizes names it
    const char *label; // in the tables
    const char *file;  // in the cache's file names
    cv::Size target;
    cv::Size reference;
    uint64 seed;
};

const SizeCase sizeCases[] = {
    {"64x48", "64x48", "64x48", {64, 48}, {64, 48}, 100},
    {"0.3", "0.3 MP", "0.3mp", {672, 448}, {480, 320}, 101},
    {"2", "2 MP", "2mp", {1728, 1152}, {1224, 816}, 2},
    {"12", "12 MP", "12mp", {4256, 2832}, {3008, 2000}, 12},
    {"24", "24 MP", "24mp", {6000, 4000}, {4240, 2832}, 24},
    {"48", "48 MP", "48mp", {8496, 5664}, {6000, 4000}, 48},
};

const SizeCase &sizeCase(const std::string &key)
{
    for (const SizeCase &size : sizeCases)
        if (key == size.key)
            return size;
    std::fprintf(stderr, "no photograph size '%s'; sizes are 64x48, 0.3, 2, 12, 24 and 48 (megapixels)\n",
                 key.c_str());
    std::exit(64);
}

struct Options {
    std::vector<std::string> sizes{"0.3", "2", "12", "24"};
    int repeat = 1;
    std::string input = "jpg";
    std::string noise = "none";
    std::string openCL = "on";
    std::string cache = BENCH_CACHE_DIR;
    std::string keep;
    std::string engine = MATCHENGINE_BINARY;
    bool encoders = true;
    bool verbose = false;
};

// To standard output with status 0 when asked for, to standard error with 64
// after a bad option.
[[noreturn]] void usage(const char *program, bool asked = false)
{
    std::fprintf(asked ? stdout : stderr,
                 "usage: %s [OPTIONS]\n"
                 "Whole engine requests against the codec floor (see bench/README.md).\n"
                 "  --sizes LIST        comma-separated, any of 64x48 (a preview thumbnail), 0.3, 2, 12, 24, 48\n"
                 "                      (megapixels; the reference has about half the pixels); default 0.3,2,12,24\n"
                 "  --repeat N          runs per case, round-robin; the tables keep the best (default 1)\n"
                 "  --input jpg|png|png16  how the photographs are encoded (default jpg, quality 95); png16:\n"
                 "                      16-bit PNG, matched with the request option depth=16, PNG output only\n"
                 "  --noise none|sensor sensor: strong per-pixel noise on every photograph (default none)\n"
                 "  --opencl on|off     the engine's OpenCL argument (default on)\n"
                 "  --engine PATH       another engine binary, for before/after comparisons\n"
                 "  --cache DIR         where the photographs and requests are kept (generated once)\n"
                 "  --keep DIR          keep the results of the runs without LUT export\n"
                 "  --no-encoders       skip the PNG encoders alone\n"
                 "  --verbose           one line per run as it finishes\n"
                 "  --help              this text\n",
                 program);
    std::exit(asked ? 0 : 64);
}

Options parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(argv[0]);
            return argv[++i];
        };
        if (word == "--sizes") {
            options.sizes.clear();
            std::stringstream list(value());
            std::string item;
            while (std::getline(list, item, ','))
                options.sizes.push_back(sizeCase(item).key);
        } else if (word == "--repeat") {
            options.repeat = std::max(1, std::atoi(value().c_str()));
        } else if (word == "--input") {
            options.input = value();
        } else if (word == "--noise") {
            options.noise = value();
        } else if (word == "--opencl") {
            options.openCL = value();
        } else if (word == "--cache") {
            options.cache = value();
        } else if (word == "--keep") {
            options.keep = value();
        } else if (word == "--engine") {
            options.engine = value();
        } else if (word == "--no-encoders") {
            options.encoders = false;
        } else if (word == "--verbose") {
            options.verbose = true;
        } else if (word == "--help" || word == "-h") {
            usage(argv[0], true);
        } else {
            usage(argv[0]);
        }
    }
    if (options.sizes.empty() || (options.input != "jpg" && options.input != "png" && options.input != "png16")
        || (options.noise != "none" && options.noise != "sensor"))
        usage(argv[0]);
    return options;
}

bool fileExists(const std::string &path)
{
    struct stat info{};
    return stat(path.c_str(), &info) == 0 && info.st_size > 0;
}

void makeFolder(const std::string &path)
{
    std::string partial;
    std::stringstream parts(path);
    std::string part;
    if (!path.empty() && path[0] == '/')
        partial = "/";
    while (std::getline(parts, part, '/')) {
        if (part.empty())
            continue;
        partial += part + "/";
        mkdir(partial.c_str(), 0755);
    }
}

void writeFile(const std::string &path, const std::vector<unsigned char> &bytes)
{
    const std::string partial = path + ".partial";
    {
        std::ofstream file(partial, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!file)
            throw std::runtime_error("cannot write " + partial);
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot rename " + partial);
}

// ---- Photographs --------------------------------------------------------------

cv::Scalar jitter(cv::RNG &rng, const cv::Scalar &tint, double spread)
{
    return cv::Scalar(tint[0] + rng.uniform(-spread, spread), tint[1] + rng.uniform(-spread, spread),
                      tint[2] + rng.uniform(-spread, spread));
}

// A scene lit from above: smooth colour gradients, overlapping soft-edged
// objects with their own shading, mid-frequency texture and sensor noise, so
// that the codecs meet what they meet in real photographs. With sensorNoise,
// the grain of a small sensor at a high ISO on top: independent in every
// channel and pixel, plus blotches of colour two pixels across, which leaves
// lossless encoders little to find.
cv::Mat makePhotograph(cv::Size size, uint64 seed, const cv::Scalar &tint, bool sensorNoise)
{
    cv::RNG rng(seed);
    // cv::randn draws from this thread's generator: seeded too, so that a
    // photograph does not depend on which others were made before it.
    cv::theRNG() = cv::RNG(~seed);
    cv::Mat coarse(5, 7, CV_8UC3);
    for (int y = 0; y < coarse.rows; ++y)
        for (int x = 0; x < coarse.cols; ++x) {
            const double light = 40.0 - 18.0 * y;
            const cv::Scalar c = jitter(rng, tint + cv::Scalar::all(light), 45.0);
            coarse.at<cv::Vec3b>(y, x) = cv::Vec3b(cv::saturate_cast<uchar>(c[0]), cv::saturate_cast<uchar>(c[1]),
                                                   cv::saturate_cast<uchar>(c[2]));
        }
    cv::Mat image;
    cv::resize(coarse, image, size, 0, 0, cv::INTER_CUBIC);

    const int side = std::min(size.width, size.height);
    for (int i = 0; i < 90; ++i) {
        const int w = rng.uniform(side / 40, side / 3), h = rng.uniform(side / 40, side / 3);
        const cv::Rect box(rng.uniform(0, size.width - w), rng.uniform(0, size.height - h), w, h);
        cv::Mat roi = image(box);
        cv::Mat overlay = roi.clone();
        // The object's own shading: a gradient across its box, kept by the mask.
        cv::Mat shade(2, 2, CV_8UC3);
        for (int k = 0; k < 4; ++k) {
            const cv::Scalar c = jitter(rng, tint, 90.0);
            shade.at<cv::Vec3b>(k / 2, k % 2) = cv::Vec3b(cv::saturate_cast<uchar>(c[0]),
                                                          cv::saturate_cast<uchar>(c[1]),
                                                          cv::saturate_cast<uchar>(c[2]));
        }
        cv::Mat shaded;
        cv::resize(shade, shaded, box.size(), 0, 0, cv::INTER_LINEAR);
        cv::Mat mask = cv::Mat::zeros(box.size(), CV_8U);
        switch (i % 3) {
        case 0:
            cv::ellipse(mask, cv::Point(w / 2, h / 2), cv::Size(w / 2, h / 2), rng.uniform(0.0, 180.0), 0, 360,
                        cv::Scalar(255), cv::FILLED, cv::LINE_AA);
            break;
        case 1: {
            std::vector<cv::Point> points;
            for (int p = 0; p < 6; ++p)
                points.emplace_back(rng.uniform(0, w), rng.uniform(0, h));
            cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{points}, cv::Scalar(255), cv::LINE_AA);
            break;
        }
        default:
            cv::line(mask, cv::Point(0, rng.uniform(0, h)), cv::Point(w - 1, rng.uniform(0, h)), cv::Scalar(255),
                     std::max(2, side / 150), cv::LINE_AA);
        }
        shaded.copyTo(overlay, mask);
        cv::addWeighted(overlay, rng.uniform(0.55, 1.0), roi, 0.0, 0.0, overlay);
        cv::Mat keep;
        cv::bitwise_not(mask, keep);
        roi.copyTo(overlay, keep);
        overlay.copyTo(roi);
    }
    cv::GaussianBlur(image, image, cv::Size(0, 0), 1.2);

    cv::Mat texture(size.height / 6, size.width / 6, CV_16SC3);
    cv::randn(texture, cv::Scalar::all(0), cv::Scalar::all(9));
    cv::Mat fullTexture;
    cv::resize(texture, fullTexture, size, 0, 0, cv::INTER_LINEAR);
    texture.release();
    cv::Mat noise(size, CV_16SC3);
    cv::randn(noise, cv::Scalar::all(0), cv::Scalar::all(2.5));
    cv::add(fullTexture, noise, noise);
    fullTexture.release();
    if (sensorNoise) {
        cv::Mat grain(size, CV_16SC3);
        cv::randn(grain, cv::Scalar::all(0), cv::Scalar::all(6));
        cv::add(noise, grain, noise);
        cv::Mat blotches(std::max(1, size.height / 2), std::max(1, size.width / 2), CV_16SC3);
        cv::randn(blotches, cv::Scalar::all(0), cv::Scalar::all(4));
        cv::resize(blotches, grain, size, 0, 0, cv::INTER_LINEAR);
        cv::add(noise, grain, noise);
    }
    cv::Mat result;
    cv::add(image, noise, result, cv::noArray(), CV_8U);
    return result;
}

// A 16-bit rendering of a photograph: its 8-bit levels spread over 65535,
// softened across a pixel and with fine noise, so that the levels between the
// 8-bit ones are used as a raw converter's output uses them.
cv::Mat deepened(const cv::Mat &image)
{
    cv::Mat deep;
    image.convertTo(deep, CV_16U, 257.0);
    cv::GaussianBlur(deep, deep, cv::Size(3, 3), 0.7);
    cv::Mat noise(deep.size(), CV_16SC3);
    cv::randn(noise, cv::Scalar::all(0), cv::Scalar::all(40));
    cv::add(deep, noise, deep, cv::noArray(), CV_16U);
    return deep;
}

std::vector<unsigned char> encodeInput(const cv::Mat &image, const std::string &format)
{
    if (format == "png16")
        return encodeInput(deepened(image), "png");
    std::vector<unsigned char> bytes;
    // A camera's own JPEG quality, or a lossless export.
    const std::vector<int> parameters = format == "jpg" ? std::vector<int>{cv::IMWRITE_JPEG_QUALITY, 95}
                                                        : std::vector<int>{cv::IMWRITE_PNG_COMPRESSION, 3};
    if (!cv::imencode("." + format, image, bytes, parameters))
        throw std::runtime_error("cannot encode a generated photograph");
    return bytes;
}

// The cache's name of one size's photographs: the size, and the noise unless
// none (the names of the plain photographs are those of earlier rounds).
std::string photographName(const Options &options, const SizeCase &size)
{
    return std::string(size.file) + (options.noise == "none" ? "" : "-" + options.noise);
}

// The framed request of one size, generated once and kept in the cache.
std::string requestFile(const Options &options, const SizeCase &size)
{
    const std::string name = photographName(options, size);
    const std::string path = options.cache + "/request-" + name + "-" + options.input + ".bin";
    if (fileExists(path))
        return path;
    std::printf("generating the %s photographs (once, into %s)...\n", name.c_str(), options.cache.c_str());
    std::fflush(stdout);
    const bool sensorNoise = options.noise == "sensor";
    std::vector<unsigned char> target, reference;
    {
        const cv::Mat image = makePhotograph(size.target, 1000 + size.seed, cv::Scalar(120, 140, 95), sensorNoise);
        target = encodeInput(image, options.input);
    }
    {
        const cv::Mat image =
            makePhotograph(size.reference, 2000 + size.seed, cv::Scalar(70, 125, 185), sensorNoise);
        reference = encodeInput(image, options.input);
    }
    writeFile(options.cache + "/target-" + name + "." + options.input, target);
    writeFile(options.cache + "/reference-" + name + "." + options.input, reference);
    HostBytes framed{};
    if (!hostFrameRequest(target.data(), target.size(), reference.data(), reference.size(), &framed))
        throw std::runtime_error("the generated photographs do not fit one request");
    const std::vector<unsigned char> request(framed.data, framed.data + framed.size);
    hostBytesFree(&framed);
    writeFile(path, request);
    return path;
}

// ---- Running --------------------------------------------------------------------

struct Run {
    bool ok = false;
    double wall = 0;       // seconds
    double cpu = 0;        // seconds, user + system, all threads
    long long peakKib = 0;
    long long outBytes = 0;
    std::vector<std::pair<double, std::string>> lines; // seconds since start, text
    std::string failure;
};

Run runThroughHost(const std::string &request, const std::string &output, const std::vector<std::string> &program)
{
    std::vector<std::string> words{BENCH_HOST_BINARY, request, output.empty() ? "-" : output};
    words.insert(words.end(), program.begin(), program.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);

    int report[2];
    if (pipe(report) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t child = fork();
    if (child == 0) {
        dup2(report[1], 1);
        close(report[0]);
        close(report[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(report[1]);
    std::string text;
    char buffer[65536];
    ssize_t got;
    while ((got = read(report[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(got));
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);

    Run run;
    std::stringstream lines(text);
    std::string line;
    int exitStatus = -1;
    while (std::getline(lines, line)) {
        std::stringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "exit") {
            fields >> exitStatus;
        } else if (key == "signal") {
            int signal = 0;
            fields >> signal;
            run.failure = "ended by signal " + std::to_string(signal);
        } else if (key == "wall_us") {
            long long us = 0;
            fields >> us;
            run.wall = us / 1e6;
        } else if (key == "cpu_us") {
            long long us = 0;
            fields >> us;
            run.cpu = us / 1e6;
        } else if (key == "peak_rss_kib") {
            fields >> run.peakKib;
        } else if (key == "out_bytes") {
            fields >> run.outBytes;
        } else if (key == "line") {
            long long us = 0;
            fields >> us;
            std::string rest;
            std::getline(fields, rest);
            if (!rest.empty() && rest[0] == ' ')
                rest.erase(0, 1);
            run.lines.emplace_back(us / 1e6, rest);
        }
    }
    run.ok = exitStatus == 0 && run.outBytes > 0;
    if (!run.ok && run.failure.empty()) {
        run.failure = "exit status " + std::to_string(exitStatus);
        if (!run.lines.empty())
            run.failure += ": " + run.lines.back().second;
    }
    return run;
}

struct Case {
    std::string size; // a SizeCase key; empty for the capability query
    std::string format;
    bool engine;
    bool lut;
    std::string label() const
    {
        if (size.empty())
            return "capability query";
        return sizeCase(size).label + (" " + format) + (engine ? (lut ? " engine+LUT" : " engine") : " floor");
    }
};

// The engine's command line from the host library, as every host builds it.
std::vector<std::string> wordsOf(char **arguments)
{
    if (!arguments)
        throw std::bad_alloc();
    std::vector<std::string> words;
    for (char **argument = arguments; *argument; ++argument)
        words.emplace_back(*argument);
    hostFreeArguments(arguments);
    return words;
}

Run runCase(const Options &options, const Case &c, const std::string &request)
{
    if (c.size.empty())
        return runThroughHost("/dev/null", "", wordsOf(hostCapabilityArguments(options.engine.c_str(), "bench")));
    std::string output;
    if (!options.keep.empty() && !c.lut)
        output = options.keep + "/" + photographName(options, sizeCase(c.size)) + "-"
            + (c.engine ? "engine" : "floor") + "." + c.format;
    if (!c.engine)
        return runThroughHost(request, output, {CODEC_FLOOR_BINARY, c.format});
    // 16-bit inputs are matched deep: the request option at position 2.
    const std::string deep = std::string(engineOptionsPrefix) + std::to_string(engineOptionsVersion) + ";depth=16";
    const std::string lutBase = options.cache + "/lut-out/look";
    HostRequest settings{};
    settings.caller = "bench";
    settings.lutBase = c.lut ? lutBase.c_str() : nullptr;
    settings.lutSize = engineLutSizeDefault;
    settings.useOpenCL = options.openCL != "off";
    settings.matchLightness = 0;
    settings.resultFormat = c.format.c_str();
    settings.strength = 1;
    std::vector<std::string> words = wordsOf(hostMatchArguments(options.engine.c_str(), &settings));
    if (options.input == "png16")
        words[2] = deep;
    return runThroughHost(request, output, words);
}

// ---- Report ---------------------------------------------------------------------

// Time between progress codes; "022" comes twice, the second one ends decoding.
struct Stage {
    const char *name;
    const char *from; // "" is the start of the process
    const char *to;   // "" is its end
};

const Stage stages[] = {
    {"read", "", "010"},       {"split", "010", "020"},     {"decodeT", "020", "022b"},
    {"prepare", "022b", "030"}, {"workT", "030", "031"},     {"decodeR", "031", "032"},
    {"requant", "032", "050"},  {"stats", "050", "067"},     {"transfer", "067", "076"},
    {"finish", "076", "079"},   {"assemble", "079", "090"}, {"encode", "090", "095"},
    {"deliver", "095", ""},
};

std::map<std::string, double> codeTimes(const Run &run)
{
    std::map<std::string, double> times;
    for (const auto &line : run.lines) {
        std::string code = line.second;
        if (code == "022" && times.count("022"))
            code = "022b";
        if (!times.count(code))
            times[code] = line.first;
    }
    return times;
}

double stageTime(const Run &run, const std::map<std::string, double> &times, const Stage &stage)
{
    const auto at = [&](const char *code, double fallback) {
        if (!*code)
            return fallback;
        const auto found = times.find(code);
        return found == times.end() ? -1.0 : found->second;
    };
    const double from = at(stage.from, 0.0), to = at(stage.to, run.wall);
    return from < 0 || to < 0 ? -1.0 : to - from;
}

std::string readFirstLine(const char *command)
{
    std::string text;
    if (FILE *pipe = popen(command, "r")) {
        char buffer[256];
        if (std::fgets(buffer, sizeof buffer, pipe))
            text = buffer;
        pclose(pipe);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

void printMachine(const Options &options)
{
    const char *device = std::getenv("OPENCV_OPENCL_DEVICE");
    std::printf("machine: %s CPUs, %s, %s\n", readFirstLine("nproc").c_str(),
                readFirstLine("grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'").c_str(),
                readFirstLine("awk '/MemTotal/ {printf \"%.1f GiB memory\", $2/1048576}' /proc/meminfo").c_str());
    std::printf("engine: %s\n", options.engine.c_str());
    std::printf("OpenCV %s; engine OpenCL argument '%s'; OPENCV_OPENCL_DEVICE %s%s\n", CV_VERSION,
                options.openCL.c_str(), device ? device : "unset",
                device ? "" : " (OpenCV takes GPU devices only: without a GPU, OpenCL is in effect off)");
    std::printf("inputs: %s, noise %s (target N MP, reference about N/2 MP; 64x48 against 64x48); output png = "
                "the engine's PNG writer, jpg = quality 99; floor png = cv::imencode compression 5; LUT size 33; "
                "best of %d\n\n",
                options.input == "jpg"   ? "JPEG quality 95"
                    : options.input == "png" ? "PNG compression 3"
                                             : "16-bit PNG compression 3, matched with depth=16 (16-bit PNG output)",
                options.noise.c_str(),
                options.repeat);
}

// The least wall time and, separately, the least CPU time of a case's runs.
void keepBest(std::map<std::string, Run> &best, const std::string &label, const Run &run)
{
    const auto found = best.find(label);
    if (found == best.end()) {
        best[label] = run;
        return;
    }
    const double cpu = std::min(found->second.cpu, run.cpu);
    if (run.wall < found->second.wall)
        found->second = run;
    found->second.cpu = cpu;
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parseOptions(argc, argv);
    makeFolder(options.cache + "/lut-out");
    if (!options.keep.empty())
        makeFolder(options.keep);
    printMachine(options);

    std::vector<Case> cases;
    std::map<std::string, std::string> requests;
    for (const std::string &key : options.sizes) {
        requests[key] = requestFile(options, sizeCase(key));
        for (const char *format : {"png", "jpg"}) {
            if (options.input == "png16" && std::string(format) != "png")
                continue;
            cases.push_back({key, format, false, false});
            cases.push_back({key, format, true, false});
            cases.push_back({key, format, true, true});
        }
    }
    const Case query{"", "", true, false};
    cases.push_back(query);

    std::map<std::string, Run> best;
    for (int round = 0; round < options.repeat; ++round)
        for (const Case &c : cases) {
            const Run run = runCase(options, c, requests[c.size]);
            if (!run.ok) {
                std::fprintf(stderr, "%s failed: %s\n", c.label().c_str(), run.failure.c_str());
                return 1;
            }
            if (options.verbose)
                std::printf("  %-26s %7.3f s  %7.3f s CPU  %6lld MiB\n", c.label().c_str(), run.wall, run.cpu,
                            run.peakKib / 1024);
            keepBest(best, c.label(), run);
        }

    std::printf("%7s %4s %4s | %7s %7s %7s %7s | %6s %6s %6s | %6s %6s %7s %7s | %8s\n", "", "", "", "engine",
                "", "floor", "", "ratio", "", "LUT", "engine", "floor", "engine", "floor", "ms/MP");
    std::printf("%7s %4s %4s | %7s %7s %7s %7s | %6s %6s %6s | %6s %6s %7s %7s | %8s\n", "size", "out", "LUT",
                "wall s", "CPU s", "wall s", "CPU s", "wall", "CPU", "adds", "MiB", "MiB", "B/px", "B/px", "engine");
    for (const Case &c : cases) {
        if (!c.engine || c.size.empty())
            continue;
        const SizeCase &size = sizeCase(c.size);
        const double pixels = double(size.target.area());
        const Run &engine = best[c.label()];
        const Run &floor = best[Case{c.size, c.format, false, false}.label()];
        const Run &plain = best[Case{c.size, c.format, true, false}.label()];
        char lutAdds[16] = "";
        if (c.lut)
            std::snprintf(lutAdds, sizeof lutAdds, "%+.0f%%", 100.0 * (engine.wall / plain.wall - 1.0));
        std::printf("%7s %4s %4s | %7.3f %7.3f %7.3f %7.3f | %6.2f %6.2f %6s | %6.0f %6.0f %7.1f %7.1f | %8.1f\n",
                    size.label, c.format.c_str(), c.lut ? "yes" : "no", engine.wall, engine.cpu, floor.wall,
                    floor.cpu, engine.wall / floor.wall, engine.cpu / floor.cpu, lutAdds, engine.peakKib / 1024.0,
                    floor.peakKib / 1024.0, engine.peakKib * 1024.0 / pixels, floor.peakKib * 1024.0 / pixels,
                    1000.0 * engine.wall / (pixels / 1e6));
    }
    const Run &answer = best[query.label()];
    std::printf("\ncapability query (%s bench 1 %s): %.3f s wall, %.3f s CPU, %.0f MiB peak\n",
                options.engine.c_str(), engineCapabilityToken, answer.wall, answer.cpu, answer.peakKib / 1024.0);

    std::printf("\nengine stages (ms, between progress codes):\n%-18s", "");
    for (const Stage &stage : stages)
        std::printf(" %8s", stage.name);
    std::printf("\n");
    for (const Case &c : cases) {
        if (!c.engine || c.size.empty())
            continue;
        const Run &run = best[c.label()];
        const auto times = codeTimes(run);
        std::printf("%-18s", (sizeCase(c.size).label + (" " + c.format) + (c.lut ? " LUT" : "")).c_str());
        for (const Stage &stage : stages) {
            const double t = stageTime(run, times, stage);
            if (t < 0)
                std::printf(" %8s", "-");
            else
                std::printf(" %8.0f", 1000.0 * t);
        }
        std::printf("\n");
    }
    std::printf("\nread: start to 010 (start-up and the request); decodeT: 020 to the second 022; prepare: to 030 "
                "(LUT lattice, GPU test, alpha);\nworkT: 030-031; decodeR: 031-032; requant: 032-050; stats: "
                "050-067; transfer: 067-076; finish: 076-079;\nassemble: 079-090 (alpha, LUT files); encode: "
                "090-095; deliver: 095 to the end of the process.\n");

    if (options.encoders)
        for (const std::string &key : options.sizes) {
            const SizeCase &size = sizeCase(key);
            const cv::Mat target = cv::imread(options.cache + "/target-" + photographName(options, size) + "."
                                                  + options.input,
                                              cv::IMREAD_UNCHANGED);
            comparePngEncoders(target, std::string(size.label) + " target", options.repeat);
        }
    return 0;
}
