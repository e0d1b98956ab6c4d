// SPDX-License-Identifier: GPL-3.0-or-later
// Series benchmark: what one look for a whole series does to the frames'
// mean colour, and how fast a look is applied compared with matching each
// image. Runs the built colormatch on generated frames; see README.md.
//
//   matchengine_series_bench COLORMATCH PHOTO REFERENCE WORKDIR [IMAGES [MEGAPIXELS]]
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int seriesFrames = 24;
constexpr double exposureDrift = 0.3; // EV, each way

std::string quoted(const std::string &text)
{
    return "'" + text + "'";
}

// Runs a command line; returns its seconds, or stops the benchmark when it fails.
double timed(const std::string &command)
{
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system((command + " 2>/dev/null").c_str());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (status != 0) {
        std::fprintf(stderr, "failed (%d): %s\n", status, command.c_str());
        std::exit(1);
    }
    return seconds;
}

// sRGB values scaled by 2^ev in linear light.
cv::Mat exposed(const cv::Mat &image, double ev)
{
    cv::Mat table(1, 256, CV_8U);
    for (int v = 0; v < 256; ++v) {
        const double c = v / 255.0;
        double linear = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        linear = std::min(1.0, linear * std::pow(2.0, ev));
        const double back = linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
        table.at<uchar>(v) = cv::saturate_cast<uchar>(back * 255);
    }
    cv::Mat out;
    cv::LUT(image, table, out);
    return out;
}

// The frame's mean CIE a*, b* (D65, from sRGB).
cv::Vec2d meanAb(const cv::Mat &bgr)
{
    cv::Mat floating, lab;
    bgr.convertTo(floating, CV_32F, 1 / 255.0);
    cv::cvtColor(floating, lab, cv::COLOR_BGR2Lab);
    const cv::Scalar mean = cv::mean(lab);
    return {mean[1], mean[2]};
}

// Mean and largest change of the mean (a*, b*) from one frame to the next.
void reportDrift(const char *what, const std::vector<std::string> &frames)
{
    std::vector<cv::Vec2d> means;
    for (const std::string &frame : frames)
        means.push_back(meanAb(cv::imread(frame, cv::IMREAD_COLOR)));
    double sum = 0, largest = 0;
    for (size_t i = 1; i < means.size(); ++i) {
        const double step = cv::norm(means[i] - means[i - 1]);
        sum += step;
        largest = std::max(largest, step);
    }
    std::printf("| %s | %.3f | %.3f |\n", what, sum / (means.size() - 1), largest);
}

std::vector<std::string> framesIn(const std::string &folder, int count)
{
    std::vector<std::string> frames;
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/f%03d.png", i);
        frames.push_back(folder + name);
    }
    return frames;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s COLORMATCH PHOTO REFERENCE WORKDIR [IMAGES [MEGAPIXELS]]\n", argv[0]);
        return 64;
    }
    const std::string colormatch = argv[1], reference = argv[3], work = argv[4];
    const cv::Mat photo = cv::imread(argv[2], cv::IMREAD_COLOR);
    const int images = argc > 5 ? std::atoi(argv[5]) : 200;
    const double megapixels = argc > 6 ? std::atof(argv[6]) : 2.0;
    if (photo.empty()) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 66;
    }
    fs::remove_all(work);
    fs::create_directories(work + "/frames");

    // The series: a window of two thirds of the photograph drifting from its
    // top left to its bottom right, the exposure swinging +-0.3 EV.
    const cv::Size window(photo.cols * 2 / 3, photo.rows * 2 / 3);
    std::string frameList;
    for (int i = 0; i < seriesFrames; ++i) {
        const double t = double(i) / (seriesFrames - 1);
        const cv::Rect cut(int(std::lround(t * (photo.cols - window.width))),
                           int(std::lround(t * (photo.rows - window.height))), window.width, window.height);
        const double ev = exposureDrift * std::sin(2 * CV_PI * i / seriesFrames);
        const std::string name = framesIn(work + "/frames", seriesFrames)[size_t(i)];
        cv::imwrite(name, exposed(photo(cut), ev));
        frameList += " " + quoted(name);
    }
    const std::string hero = framesIn(work + "/frames", seriesFrames)[seriesFrames / 2];
    timed(colormatch + " -r " + quoted(reference) + " -d " + quoted(work + "/each") + frameList);
    timed(colormatch + " -r " + quoted(reference) + " -d " + quoted(work + "/hero") + " --series-from " +
          quoted(hero) + frameList);
    timed(colormatch + " -r " + quoted(reference) + " -d " + quoted(work + "/pooled") + " --series" + frameList);
    std::printf("Series of %d frames (%d x %d) from %s, matched to %s: change of the mean (a*, b*) from frame to "
                "frame\n\n| frames | mean | largest |\n|---|---|---|\n",
                seriesFrames, window.width, window.height, argv[2], reference.c_str());
    reportDrift("as cut (before matching)", framesIn(work + "/frames", seriesFrames));
    reportDrift("each matched on its own", framesIn(work + "/each", seriesFrames));
    reportDrift("--series-from (the middle frame)", framesIn(work + "/hero", seriesFrames));
    reportDrift("--series (pooled)", framesIn(work + "/pooled", seriesFrames));

    // Throughput: the photograph scaled to the size asked, cut with a small
    // drift, as JPEG quality 95; the outputs JPEG too.
    fs::create_directories(work + "/many");
    const double scale = std::sqrt(megapixels * 1e6 / (window.width * double(window.height)));
    cv::Mat big;
    cv::resize(photo, big, cv::Size(), scale * 1.1, scale * 1.1, cv::INTER_CUBIC);
    const cv::Size size(int(window.width * scale), int(window.height * scale));
    std::string manyList;
    for (int i = 0; i < images; ++i) {
        const double t = double(i) / std::max(1, images - 1);
        const cv::Rect cut(int(t * (big.cols - size.width)), int(t * (big.rows - size.height)), size.width,
                           size.height);
        char name[64];
        std::snprintf(name, sizeof name, "/many/m%04d.jpg", i);
        cv::imwrite(work + name, big(cut), {cv::IMWRITE_JPEG_QUALITY, 95});
        manyList += " " + quoted(work + name);
    }
    const std::string cube = work + "/look.cube";
    timed(colormatch + " " + quoted(work + "/many/m0000.jpg") + " " + quoted(reference) + " --lut " + quoted(cube));
    const double each = timed(colormatch + " -r " + quoted(reference) + " -d " + quoted(work + "/many_each") +
                              " --format jpg" + manyList);
    const double series = timed(colormatch + " -r " + quoted(reference) + " -d " + quoted(work + "/many_series") +
                                " --series-from " + quoted(work + "/many/m0000.jpg") + " --format jpg" + manyList);
    const double applied = timed(colormatch + " --apply-lut " + quoted(cube) + " -d " +
                                 quoted(work + "/many_applied") + " --format jpg" + manyList);
    std::printf("\n%d images of %d x %d (%.1f MP), JPEG in and out: images per second\n\n| run | seconds | images/s "
                "|\n|---|---|---|\n",
                images, size.width, size.height, size.area() / 1e6);
    std::printf("| each matched on its own (-r -d) | %.1f | %.2f |\n", each, images / each);
    std::printf("| --series-from (one engine, then the look) | %.1f | %.2f |\n", series, images / series);
    std::printf("| --apply-lut (no engine) | %.1f | %.2f |\n", applied, images / applied);
    return 0;
}
