// matchColors: the order of the stages, the progress codes and diagnostic lines
// that mark them, the guarded stretch, and the assembly of the returned image.
#include "matching/matching.h"

#include "engine/engine.h"
#include "lut/lut.h"

#include <opencv2/core/ocl.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>

namespace {

// Sets amdGpu when the first OpenCL GPU is an AMD one; never clears it. The
// context stays alive as long as the caller keeps it.
void testForAmdGpu(cv::ocl::Context &context, EngineSettings &settings)
{
    if (context.create(cv::ocl::Device::TYPE_GPU) && context.ndevices() > 0
        && context.device(0).vendorID() == cv::ocl::Device::VENDOR_AMD)
        settings.amdGpu = true;
}

// One line per caught failure: the host reads standard error line by line.
void writeCrashLine(int kind, const std::string &message)
{
    std::string text = message;
    for (char &c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    std::fprintf(protocolChannel(), "CRASH (67+) (%d) %s\n", kind, text.c_str());
}

} // namespace

cv::UMat matchColors(QByteArray targetBytes, QByteArray referenceBytes, bool lutExport, float strength,
                     QStringList &lutFailures)
{
    EngineSettings &settings = engineSettings();
    cv::ocl::setUseOpenCL(settings.useOpenCL);

    writeDiagnosticLine(QStringLiteral("bytes:%1").arg(targetBytes.size()));
    reportProgress("021");
    reportProgress("022");
    writeDiagnosticLine(QStringLiteral("current_image:%1").arg(targetBytes.size()));
    cv::UMat decodedTarget = decodeImageBytes(targetBytes, "target");
    reportProgress("022");

    // The lattice rides along as extra rows of the target, so every stage below
    // treats lattice colours exactly like image colours.
    LatticeGeometry geometry;
    if (lutExport)
        decodedTarget = stackLattice(toEightBitColour(decodedTarget), geometry);

    cv::ocl::Context gpuContext;
    testForAmdGpu(gpuContext, settings);
    reportProgress("023");

    writeDiagnosticLine(QStringLiteral("current_image_mat_rgba:%1x%2").arg(decodedTarget.cols).arg(decodedTarget.rows));
    settings.currentImageWidth = decodedTarget.cols;
    settings.currentImageHeight = decodedTarget.rows;
    std::fflush(protocolChannel());
    writeDiagnosticLine(QStringLiteral("DONE"));

    const int targetChannels = decodedTarget.channels();
    if (targetChannels == 4 || targetChannels == 2)
        reportProgress("028");
    bool targetHadAlpha = false;
    const cv::UMat target = dropTargetAlpha(decodedTarget, targetHadAlpha);
    cv::UMat unmatchedTarget;
    if (strength < 1.0f)
        unmatchedTarget = target.clone();

    reportProgress("030");
    cv::UMat workingTarget = toWorkingScale(target);
    reportProgress("031");
    cv::UMat reference = decodeImageBytes(referenceBytes, "reference");
    reportProgress("032");
    reference = normaliseReference(reference);
    reportProgress("040");
    cv::UMat workingReference = toWorkingScale(reference);
    reference.release();

    // Requantise both working images to 8-bit steps; the target's Lab image
    // keeps its lightness for the result.
    const cv::UMat target8 = toEightBit(workingTarget);
    const cv::UMat targetLab = labOf(target8);
    const cv::UMat reference8 = toEightBit(workingReference);
    workingTarget = toWorkingScale(target8);
    workingReference = toWorkingScale(reference8);

    reportProgress("050");
    TransferInputs inputs = centreForTransfer(workingTarget, workingReference);
    workingTarget.release();
    workingReference.release();

    // From the target covariance on, a failure still gives the host an image:
    // the target as decoded.
    try {
        const cv::UMat mappedImage = linearColourTransfer(inputs);
        inputs = TransferInputs();

        cv::UMat result = toEightBit(mappedImage);
        cv::UMat resultLab = labOf(result);
        reportProgress("077");
        restoreLightness(resultLab, targetLab);
        reportProgress("078");
        cv::cvtColor(resultLab, result, cv::COLOR_Lab2RGB);
        if (strength < 1.0f)
            blendWithUnmatched(result, unmatchedTarget, strength);
        reportProgress("079");

        if (!lutExport)
            return targetHadAlpha ? restoreAlpha(result, decodedTarget) : result;

        const cv::UMat transformedLattice = extractLattice(result, geometry);
        QString failure = writeUnwrappedLut(transformedLattice, settings.lutBasePath);
        if (!failure.isEmpty())
            lutFailures << failure;
        const cv::Mat lutTable = makeLutTable(transformedLattice, sampleLevels);
        cv::UMat outputLattice = makeOutputLattice(settings.lutSize);
        resampleTetrahedral(outputLattice, lutTable, sampleLevels, settings.lutSize);
        const QString text = buildCubeText(outputLattice, settings.lutSize);
        failure = writeCubeFile(text, settings.lutBasePath);
        if (!failure.isEmpty())
            lutFailures << failure;
        return cv::UMat::zeros(10, 10, CV_8UC3);
    } catch (const cv::Exception &error) {
        writeCrashLine(0, error.what());
    } catch (const std::exception &error) {
        writeCrashLine(1, error.what());
    } catch (const std::string &error) {
        writeCrashLine(2, error);
    } catch (...) {
        std::fputs("CRASH (67+) (3) UNKNOWN\n", protocolChannel());
    }
    std::fflush(protocolChannel());
    return decodedTarget;
}
