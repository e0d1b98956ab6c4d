// matchColors in-process against the plain double-precision computation, over
// the images that take the pipeline down its different paths (alpha, deep
// samples, grey, singular covariances), with OpenCL off and on; and the three
// concurrent tasks of the transfer.
#include "matching/matching.h"

#include "support/reference_match.h"
#include "support/test_support.h"

#include <opencv2/core/ocl.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <cmath>

using namespace testing_support;

namespace {

// Restores the process-wide settings and this thread's OpenCL switch.
struct SettingsGuard {
    const EngineSettings saved = engineSettings();
    const bool savedOpenCL = cv::ocl::useOpenCL();
    ~SettingsGuard()
    {
        engineSettings() = saved;
        cv::ocl::setUseOpenCL(savedOpenCL);
    }
};

void useOpenCL(bool on)
{
    engineSettings().useOpenCL = on;
    engineSettings().taskUseOpenCL = on;
}

cv::Mat sample(const char *name, double factor = 1.0)
{
    const cv::Mat image = decodeBytes(readFileBytes(samplePath(QLatin1String(name))), cv::IMREAD_COLOR);
    cv::Mat scaled;
    cv::resize(image, scaled, cv::Size(), factor, factor, cv::INTER_AREA);
    return scaled;
}

cv::Mat matched(const cv::Mat &target, const cv::Mat &reference, float strength)
{
    QStringList lutFailures;
    testing::internal::CaptureStderr();
    const cv::UMat result = matchColors(encoded(target), encoded(reference), false, strength, lutFailures);
    const std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines.find("CRASH"), std::string::npos) << lines;
    return result.getMat(cv::ACCESS_READ).clone();
}

// The engine's intake of a decoded image as 8-bit B, G, R (alpha dropped,
// grey expanded, 16 bits as v / 257).
cv::Mat eightBitColours(const cv::Mat &image)
{
    cv::Mat eight;
    image.convertTo(eight, CV_8U, image.depth() == CV_16U ? 1.0 / 257.0 : 1.0);
    cv::Mat bgr;
    if (eight.channels() == 3)
        return eight;
    cv::cvtColor(eight, bgr, eight.channels() == 1 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR);
    return bgr;
}

// Mean |L*(a) - L*(b)| of two 8-bit B, G, R images: CIE L* of sRGB colours
// (D65), in double precision.
double meanLightnessDifference(const cv::Mat &a, const cv::Mat &b)
{
    const auto lightness = [](const cv::Vec3b &bgr) {
        const auto linear = [](double v) {
            v /= 255.0;
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        const double y = 0.2126729 * linear(bgr[2]) + 0.7151522 * linear(bgr[1]) + 0.0721750 * linear(bgr[0]);
        return y > 216.0 / 24389.0 ? 116.0 * std::cbrt(y) - 16.0 : y * 24389.0 / 27.0;
    };
    double sum = 0.0;
    for (int y = 0; y < a.rows; ++y)
        for (int x = 0; x < a.cols; ++x)
            sum += std::abs(lightness(a.at<cv::Vec3b>(y, x)) - lightness(b.at<cv::Vec3b>(y, x)));
    return sum / double(a.total());
}

} // namespace

// Single precision moves a mapped colour across a rounding boundary now and
// then, and the Lab finishing can amplify that one level: agreement is the
// share of equal samples, and every other pixel must be explained by such a step.
TEST(MatchColors, AgreesWithThePlainComputationOnEveryKindOfImage)
{
    SettingsGuard guard;
    const cv::Mat rocket = sample("rocket.jpg", 0.5);
    const cv::Mat coffee = sample("coffee.png", 0.5);
    const cv::Mat chelsea = sample("chelsea.png", 0.5);
    cv::Mat grey;
    cv::cvtColor(coffee, grey, cv::COLOR_BGR2GRAY);
    cv::Mat deep, deepAlpha;
    coffee.convertTo(deep, CV_16U, 257.0, 100.0);
    withAlphaGradient(coffee).convertTo(deepAlpha, CV_16U, 257.0);
    cv::Mat line(6, 10, CV_8UC3);
    for (int i = 0; i < 60; ++i)
        line.at<cv::Vec3b>(i / 10, i % 10) = {uchar(10 + i), uchar(20 + 2 * i), uchar(30 + 3 * i)};
    const struct {
        const char *name;
        cv::Mat target, reference;
        bool matchLightness;
        float strength;
    } cases[] = {
        {"photographs", chelsea, rocket, false, 1.0f},
        {"lightness matched, half strength", rocket, coffee, true, 0.5f},
        {"extrapolated", coffee, chelsea, false, -0.5f},
        {"alpha kept", withAlphaGradient(coffee), rocket, false, 0.6f},
        {"16-bit target", deep, chelsea, false, 0.25f},
        {"16-bit with alpha", deepAlpha, rocket, false, 1.0f},
        {"grey target", grey, rocket, false, 1.0f},
        {"grey reference", rocket, grey, false, 1.0f},
        {"one colour", cv::Mat(7, 5, CV_8UC3, cv::Scalar(40, 170, 90)), rocket, true, 1.0f},
        {"one pixel", cv::Mat(1, 1, CV_8UC3, cv::Scalar(1, 2, 3)), rocket, true, 1.0f},
        {"colours on a line", line, rocket, false, 1.0f},
        {"itself", rocket, rocket, false, 1.0f},
    };
    for (const bool openCL : {false, true}) {
        if (openCL && !cv::ocl::haveOpenCL())
            continue;
        useOpenCL(openCL);
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << ", OpenCL " << openCL);
            engineSettings().matchLightness = c.matchLightness;
            const cv::Mat result = matched(c.target, c.reference, c.strength);
            const bool alpha = c.target.channels() == 2 || c.target.channels() == 4;
            ASSERT_EQ(result.type(), alpha ? CV_8UC4 : CV_8UC3);
            ASSERT_EQ(result.size(), c.target.size());
            if (alpha) {
                cv::Mat targetAlpha, resultAlpha;
                cv::extractChannel(c.target, targetAlpha, c.target.channels() - 1);
                targetAlpha.convertTo(targetAlpha, CV_8U, c.target.depth() == CV_16U ? 1.0 / 257.0 : 1.0);
                cv::extractChannel(result, resultAlpha, 3);
                EXPECT_EQ(cv::norm(resultAlpha, targetAlpha, cv::NORM_INF), 0.0);
            }
            const cv::Mat colours = eightBitColours(result);
            const cv::Mat target8 = eightBitColours(c.target);
            const cv::Mat reference8 = eightBitColours(c.reference);
            const cv::Mat expected = referenceMatch(target8, reference8, c.matchLightness, c.strength);
            cv::Mat difference;
            cv::absdiff(colours, expected, difference);
            EXPECT_LE(cv::countNonZero(difference.reshape(1)), int(0.005 * difference.total() * 3));
            EXPECT_EQ(unexplainedPixels(colours, target8, reference8, c.matchLightness, c.strength, 2.0), 0);
            // Kept lightness is CIE L*, up to the 8-bit Lab encoding's steps.
            if (!c.matchLightness && c.strength == 1.0f)
                EXPECT_LT(meanLightnessDifference(colours, target8), 0.5);
        }
    }
}

// St, Sr and both mean columns are the same with the tasks' OpenCL on or off,
// and a failure in any task reaches the caller with its own type.
TEST(MappingTasks, RootsAndColumnsWithEachOpenCLSwitchAndFailuresKeepTheirType)
{
    SettingsGuard guard;
    const cv::Mat target = sample("chelsea.png", 0.5);
    const cv::Mat reference = sample("rocket.jpg", 0.25);
    testing::internal::CaptureStderr();
    const TransferInputs prepared = momentsForTransfer(target, reference);
    testing::internal::GetCapturedStderr();
    const cv::UMat covariance = hostDivide(prepared.targetGram, prepared.targetCount);

    const cv::Mat targetCovariance = covariance.getMat(cv::ACCESS_READ);
    const cv::Mat referenceCovariance = prepared.referenceGram.getMat(cv::ACCESS_READ) / prepared.referenceCount;
    for (const bool openCL : {false, true}) {
        if (openCL && !cv::ocl::haveOpenCL())
            continue;
        useOpenCL(openCL);
        for (const bool amdGpu : {false, true}) {
            SCOPED_TRACE(testing::Message() << "OpenCL " << openCL << ", amdGpu " << amdGpu);
            engineSettings().amdGpu = amdGpu;
            TransferInputs inputs = prepared;
            const MappingTaskResults roots = runMappingTasks(covariance, inputs);
            // Each root squares to its covariance; both means become 3 x 1 columns of the same values.
            const cv::Mat st = roots.targetRoot.getMat(cv::ACCESS_READ), sr = roots.referenceRoot.getMat(cv::ACCESS_READ);
            EXPECT_LE(cv::norm(cv::Mat(st * st), targetCovariance, cv::NORM_INF), 1e-6);
            EXPECT_LE(cv::norm(cv::Mat(sr * sr), referenceCovariance, cv::NORM_INF), 1e-6);
            for (const auto &[column, mean] : {std::pair{inputs.targetMean, prepared.targetMean},
                                               std::pair{inputs.referenceMean, prepared.referenceMean}})
                EXPECT_EQ(cv::norm(column.getMat(cv::ACCESS_READ), mean.getMat(cv::ACCESS_READ).reshape(1, 3),
                                   cv::NORM_INF), 0.0);
        }
        // A covariance that is not square fails in targetRootTask, an 8-bit
        // reference Gram matrix in referenceRootTask.
        TransferInputs inputs = prepared;
        EXPECT_THROW(runMappingTasks(cv::UMat(3, 2, CV_32FC1, cv::Scalar(0.5)), inputs), cv::Exception);
        inputs = prepared;
        inputs.referenceGram = cv::UMat(3, 5, CV_8UC1, cv::Scalar(1));
        EXPECT_THROW(runMappingTasks(covariance, inputs), cv::Exception);
    }
}

// JPEG intake decodes with libjpeg itself; its pixels must be cv::imdecode's,
// for each kind of JPEG: the bundled photograph, 4:2:0 and progressive colour,
// grey.
TEST(ImageIntake, JpegPixelsAreThoseOfOpenCv)
{
    const cv::Mat photo = sample("chelsea.png");
    cv::Mat grey;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    const QList<QByteArray> files{readFileBytes(samplePath(QStringLiteral("rocket.jpg"))), encoded(photo, ".jpg"),
                                  encoded(photo, ".jpg", {cv::IMWRITE_JPEG_PROGRESSIVE, 1, cv::IMWRITE_JPEG_QUALITY, 80}),
                                  encoded(grey, ".jpg")};
    for (const QByteArray &file : files) {
        const cv::Mat expected = decodeBytes(file, cv::IMREAD_UNCHANGED);
        const cv::UMat intake = decodeImageBytes(file, "target");
        const cv::Mat decoded = intake.getMat(cv::ACCESS_READ);
        ASSERT_EQ(decoded.type(), expected.type());
        EXPECT_EQ(cv::norm(decoded, expected, cv::NORM_INF), 0.0);
    }
}
