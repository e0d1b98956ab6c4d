// SPDX-License-Identifier: GPL-3.0-or-later
// matchColors: the order of the stages, the progress codes and diagnostic lines
// that mark them, the guarded stretch, and the assembly of the returned image;
// and the index of a target's distinct colours, on which it finishes the result
// once per colour.
#include "matching/matching.h"

#include "lut/lut.h"

#include <opencv2/core/ocl.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <future>
#include <system_error>

namespace {

// The distinct colours of an 8-bit image (first three channels) and, for every
// colour, its entry in the palette.
struct ColourIndex {
    struct Block {
        std::uint64_t present = 0; // which of 64 consecutive keys occur
        std::uint32_t before = 0;  // how many colours occur in the blocks before
    };
    std::vector<Block> blocks;     // 2^24 / 64 blocks, colours keyed by their interleaved bits
    cv::Mat palette;               // CV_8UC3, rows of paletteWidth colours in key order, tail black
    int count = 0;                 // distinct colours
};
constexpr int paletteWidth = 1024;

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

// Decoded 8-bit images with 3 or 4 channels are read in place: their first
// three channels are the prepared B, G, R and, after the requantisation, the
// 8-bit working colours.
bool isEightBitColour(const cv::UMat &image)
{
    return image.depth() == CV_8U && (image.channels() == 3 || image.channels() == 4);
}

// Called in a catch block, from the target covariance on: the failure as one
// CRASH line, and the image the host still gets, the target as decoded.
cv::UMat afterCaughtFailure(const cv::UMat &decodedTarget)
{
    try {
        throw;
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
    // Deeper samples come back in 8 bits, as a result would: a float target
    // encoded as it is would be black.
    return isEightBitColour(decodedTarget) ? decodedTarget : toEightBitColour(decodedTarget);
}

// Colours are keyed in Morton order, the bits of the three channels
// interleaved, so that similar colours (neighbouring pixels, noise) share
// blocks of the index and lines of the palette.
struct MortonTables {
    std::uint32_t spread[256];     // bit b of a level moved to bit 3b
    std::uint32_t compact[3][256]; // byte j of a key back to the levels it holds
};

const MortonTables &mortonTables()
{
    static const MortonTables tables = [] {
        MortonTables t{};
        for (int level = 0; level < 256; ++level)
            for (int bit = 0; bit < 8; ++bit)
                if (level & (1 << bit))
                    t.spread[level] |= 1u << (3 * bit);
        for (int j = 0; j < 3; ++j)
            for (int byte = 0; byte < 256; ++byte)
                for (int bit = 0; bit < 8; ++bit)
                    if (byte & (1 << bit)) {
                        const int keyBit = 8 * j + bit;
                        t.compact[j][byte] |= 1u << (8 * (keyBit % 3) + keyBit / 3);
                    }
        return t;
    }();
    return tables;
}

inline std::uint32_t colourKey(const std::uint32_t *spread, const uchar *p)
{
    return spread[p[0]] | spread[p[1]] << 1 | spread[p[2]] << 2;
}

// Channels 0, 1, 2 of the colour with this key, in bytes 0, 1, 2.
std::uint32_t colourOfKey(const MortonTables &tables, std::uint32_t key)
{
    return tables.compact[0][key & 0xff] | tables.compact[1][(key >> 8) & 0xff] | tables.compact[2][key >> 16];
}

std::uint64_t bitCount(std::uint64_t v)
{
    v = v - ((v >> 1) & 0x5555555555555555ull);
    v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
    v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0full;
    return (v * 0x0101010101010101ull) >> 56;
}

constexpr int colourBlocks = (1 << 24) / 64;

struct GatherJob {
    const cv::Mat &image;
    cv::Mat &gathered;
    const ColourIndex::Block *blocks;
    const uchar *values;
    const std::uint32_t *spread;
};

// The gather is bound by counting the colours below a pixel's own in its
// block: with the processor's population count it takes half the time.
#if defined(__GNUC__) || defined(__clang__)
#define MATCHING_INLINE inline __attribute__((always_inline))
#else
#define MATCHING_INLINE inline
#endif

template <bool builtinCount>
MATCHING_INLINE void gatherRows(const GatherJob &job, int begin, int end)
{
    const int channels = job.image.channels();
    const int gatheredChannels = job.gathered.channels();
    for (int y = begin; y < end; ++y) {
        const uchar *p = job.image.ptr<uchar>(y);
        uchar *q = job.gathered.ptr<uchar>(y);
        for (int x = 0; x < job.image.cols; ++x, p += channels, q += gatheredChannels) {
            const std::uint32_t key = colourKey(job.spread, p);
            const ColourIndex::Block &block = job.blocks[key >> 6];
            const std::uint64_t below = block.present & ((std::uint64_t(1) << (key & 63)) - 1);
#if defined(__GNUC__) || defined(__clang__)
            const std::uint64_t rank = block.before + (builtinCount ? __builtin_popcountll(below) : bitCount(below));
#else
            const std::uint64_t rank = block.before + bitCount(below);
#endif
            const uchar *v = job.values + 3 * rank;
            q[0] = v[0];
            q[1] = v[1];
            q[2] = v[2];
        }
    }
}

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
__attribute__((target("popcnt"))) void gatherRowsWithPopcnt(const GatherJob &job, int begin, int end)
{
    gatherRows<true>(job, begin, end);
}

void gatherBand(const GatherJob &job, int begin, int end)
{
    static const bool popcnt = __builtin_cpu_supports("popcnt");
    if (popcnt)
        gatherRowsWithPopcnt(job, begin, end);
    else
        gatherRows<false>(job, begin, end);
}
#elif defined(__GNUC__) || defined(__clang__)
void gatherBand(const GatherJob &job, int begin, int end)
{
    gatherRows<true>(job, begin, end);
}
#else
void gatherBand(const GatherJob &job, int begin, int end)
{
    gatherRows<false>(job, begin, end);
}
#endif

int bandCount(int rows)
{
    return std::max(1, std::min(rows, 4 * cv::getNumThreads()));
}

int bandStart(int rows, int bands, int band)
{
    return static_cast<int>(static_cast<std::int64_t>(rows) * band / bands);
}

// ---- Distinct colours ------------------------------------------------------------

ColourIndex indexColours(const cv::Mat &image)
{
    CV_Assert(image.depth() == CV_8U && (image.channels() == 3 || image.channels() == 4));
    const int channels = image.channels();
    const MortonTables &tables = mortonTables();
    // One bit per possible colour (2 MiB) for each band of rows, merged below;
    // a few bands keep a pass this light busy on any machine.
    constexpr int mostBands = 8;
    const int bands = std::max(1, std::min({image.rows, cv::getNumThreads(), mostBands}));
    std::vector<std::vector<std::uint64_t>> seen(static_cast<size_t>(bands));
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range &range) {
        std::vector<std::uint64_t> bits(colourBlocks, 0);
        for (int y = bandStart(image.rows, bands, range.start); y < bandStart(image.rows, bands, range.end); ++y) {
            const uchar *p = image.ptr<uchar>(y);
            std::uint32_t last = 0xffffffffu;
            for (int x = 0; x < image.cols; ++x, p += channels) {
                const std::uint32_t key = colourKey(tables.spread, p);
                if (key != last) {
                    bits[key >> 6] |= std::uint64_t(1) << (key & 63);
                    last = key;
                }
            }
        }
        seen[static_cast<size_t>(range.start)] = std::move(bits);
    }, bands);

    ColourIndex index;
    index.blocks.resize(colourBlocks);
    std::uint32_t count = 0;
    for (int block = 0; block < colourBlocks; ++block) {
        std::uint64_t present = 0;
        for (const std::vector<std::uint64_t> &bits : seen)
            if (!bits.empty())
                present |= bits[static_cast<size_t>(block)];
        index.blocks[static_cast<size_t>(block)] = {present, count};
        count += static_cast<std::uint32_t>(bitCount(present));
    }
    seen.clear();

    index.count = static_cast<int>(count);
    index.palette = cv::Mat::zeros((index.count + paletteWidth - 1) / paletteWidth, paletteWidth, CV_8UC3);
    uchar *out = index.palette.ptr<uchar>();
    for (int block = 0; block < colourBlocks; ++block) {
        for (std::uint64_t bits = index.blocks[static_cast<size_t>(block)].present; bits != 0; bits &= bits - 1) {
            const std::uint32_t key = static_cast<std::uint32_t>(block) << 6
                | static_cast<std::uint32_t>(bitCount((bits & (~bits + 1)) - 1));
            const std::uint32_t colour = colourOfKey(tables, key);
            out[0] = static_cast<uchar>(colour & 0xff);
            out[1] = static_cast<uchar>((colour >> 8) & 0xff);
            out[2] = static_cast<uchar>(colour >> 16);
            out += 3;
        }
    }
    return index;
}

// Each pixel's entry of `values` (a CV_8UC3 image laid out like the palette),
// the image of a per-colour function that was evaluated on the palette, into
// the first three channels of `gathered`, which may be the image itself: a
// pixel is read before its own entry is written, and by no other pixel.
void gatherColours(const ColourIndex &index, const cv::Mat &image, const cv::Mat &values, cv::Mat &gathered)
{
    CV_Assert(image.depth() == CV_8U && (image.channels() == 3 || image.channels() == 4));
    CV_Assert(values.type() == CV_8UC3 && values.size() == index.palette.size() && values.isContinuous());
    CV_Assert(index.blocks.size() == static_cast<size_t>(colourBlocks));
    CV_Assert(gathered.depth() == CV_8U && gathered.channels() >= 3 && gathered.size() == image.size());
    const GatherJob job{image, gathered, index.blocks.data(), values.ptr<uchar>(), mortonTables().spread};
    const int bands = bandCount(image.rows);
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range &range) {
        gatherBand(job, bandStart(image.rows, bands, range.start), bandStart(image.rows, bands, range.end));
    }, bands);
}

// The finishing of mapped palette colours: 8 bits and Lab (then "077"), the
// target's lightness (paletteLightness, CV_8UC1 laid out like the palette)
// unless matchLightness (then "078"), back to B, G, R, and, when strength < 1
// and blendWithPalette, the blend with the palette's own colours (the unmatched
// target's colours).
cv::Mat finishPalette(const cv::Mat &mappedColours, const cv::Mat &paletteLightness, const cv::Mat &palette,
                      float strength, bool blendWithPalette)
{
    cv::Mat colours;
    mappedColours.convertTo(colours, CV_8U, 256.0, 0.0);
    cv::Mat lab = bgrToLab(colours);
    reportProgress("077");
    if (!engineSettings().matchLightness) {
        const int lightnessPlane[] = {0, 0};
        cv::mixChannels(&paletteLightness, 1, &lab, 1, lightnessPlane, 1);
    }
    reportProgress("078");
    colours = labToBgr(lab);
    if (strength < 1.0f && blendWithPalette) {
        const float unmatchedWeight = 1.0f - strength;
        cv::Mat blended;
        cv::addWeighted(colours, static_cast<double>(strength), palette, static_cast<double>(unmatchedWeight), 0.0,
                        blended, -1);
        colours = blended;
    }
    return colours;
}

// The deep LUT files: the transform evaluated on the lattice colours themselves,
// the cube's N levels a channel and the unwrapped picture's 16 (in 16 bits).
void exportDeepLut(const ColourTransfer &transfer, float strength, QStringList &lutFailures)
{
    const EngineSettings &settings = engineSettings();
    const cv::Matx34f mapping = deepMapping(transfer);
    const auto finishedLattice = [&](int levels) {
        cv::Mat colours, finished;
        makeOutputLattice(levels).getMat(cv::ACCESS_READ).convertTo(colours, CV_32F, 1.0 / 255.0);
        finishDeepColours(colours, mapping, strength, settings.matchLightness, finished);
        return finished;
    };
    cv::UMat cube;
    finishedLattice(settings.lutSize).convertTo(cube, CV_32F, 255.0);
    const QString text = buildCubeText(cube, settings.lutSize);
    cv::UMat unwrapped;
    finishedLattice(sampleLevels).convertTo(unwrapped, CV_16U, 65535.0);
    QString failure = writeUnwrappedLut(unwrapped, settings.lutBasePath);
    if (!failure.isEmpty())
        lutFailures << failure;
    failure = writeCubeFile(text, settings.lutBasePath);
    if (!failure.isEmpty())
        lutFailures << failure;
}

// The request with depth 16, from the decoded target on, with the progress
// codes of the 8-bit path in the same order.
cv::UMat matchDeep(const cv::UMat &decodedTarget, std::future<cv::UMat> &decodedReference, bool lutExport,
                   float strength, QStringList &lutFailures)
{
    const int targetChannels = decodedTarget.channels();
    const bool targetHadAlpha = targetChannels == 4 || targetChannels == 2;
    if (targetHadAlpha)
        reportProgress("028");
    reportProgress("030");
    reportProgress("031");
    cv::UMat reference = decodedReference.get();
    reportProgress("032");
    reportProgress("040");
    reportProgress("050");
    TransferInputs inputs =
        deepMomentsForTransfer(decodedTarget.getMat(cv::ACCESS_READ), reference.getMat(cv::ACCESS_READ));
    reference.release();
    try {
        const ColourTransfer transfer = colourTransferOf(inputs);
        inputs = TransferInputs();
        reportProgress("075");
        reportProgress("076");
        if (lutExport) {
            exportDeepLut(transfer, strength, lutFailures);
            reportProgress("077");
            reportProgress("078");
            reportProgress("079");
            return cv::UMat::zeros(10, 10, CV_8UC3);
        }
        const cv::Mat result = deepMatched(decodedTarget, transfer, strength, engineSettings().resultBits);
        reportProgress("077");
        reportProgress("078");
        reportProgress("079");
        if (targetHadAlpha) {
            reportProgress("080");
            reportProgress("085");
        }
        return result.getUMat(cv::ACCESS_READ, cv::USAGE_DEFAULT);
    } catch (...) {
        return afterCaughtFailure(decodedTarget);
    }
}

} // namespace

cv::UMat matchColors(QByteArray targetBytes, QByteArray referenceBytes, bool lutExport, float strength,
                     QStringList &lutFailures)
{
    EngineSettings &settings = engineSettings();
    // The reference decodes on another thread while the target decodes here.
    // Its outcome, image or refusal, is taken only where the reference has
    // always been decoded ("031"), so lines and refusals keep their order; if
    // the target is refused first, the future is dropped unread. That thread
    // keeps OpenCL off (a per-thread switch): OpenCL starts up on this one
    // only, since two threads starting it at once crash inside it.
    auto decodeReference = [referenceBytes](bool ownThread) {
        if (ownThread)
            cv::ocl::setUseOpenCL(false);
        return decodeImageBytes(referenceBytes, "reference");
    };
    std::future<cv::UMat> decodedReference;
    try {
        decodedReference = std::async(std::launch::async, decodeReference, true);
    } catch (const std::system_error &) {
        // No thread to spare: it decodes here, when it is asked for.
        decodedReference = std::async(std::launch::deferred, decodeReference, false);
    }
    // From here on this thread may use OpenCL: its first UMat operation starts
    // the runtime. The threads above turn OpenCL off for themselves first thing,
    // so none of them ever asks for it.
    cv::ocl::setUseOpenCL(settings.useOpenCL);

    writeDiagnosticLine(QStringLiteral("bytes:%1").arg(targetBytes.size()));
    reportProgress("021");
    reportProgress("022");
    writeDiagnosticLine(QStringLiteral("current_image:%1").arg(targetBytes.size()));
    cv::UMat decodedTarget = decodeImageBytes(targetBytes, "target");
    reportProgress("022");

    // The lattice rides along as extra rows of the target, so every stage below
    // treats lattice colours exactly like image colours.
    const bool deep = settings.depth == 16;
    LatticeGeometry geometry;
    if (lutExport && !deep)
        decodedTarget = stackLattice(isEightBitColour(decodedTarget) ? decodedTarget : toEightBitColour(decodedTarget),
                                     geometry);

    cv::ocl::Context gpuContext;
    testForAmdGpu(gpuContext, settings);
    reportProgress("023");

    writeDiagnosticLine(QStringLiteral("current_image_mat_rgba:%1x%2").arg(decodedTarget.cols).arg(decodedTarget.rows));
    settings.currentImageWidth = decodedTarget.cols;
    settings.currentImageHeight = decodedTarget.rows;
    std::fflush(protocolChannel());
    writeDiagnosticLine(QStringLiteral("DONE"));
    if (deep)
        return matchDeep(decodedTarget, decodedReference, lutExport, strength, lutFailures);

    const int targetChannels = decodedTarget.channels();
    if (targetChannels == 4 || targetChannels == 2)
        reportProgress("028");
    // An 8-bit colour target is its own prepared and requantised form (alpha
    // skipped); other targets go to B, G, R first.
    const bool targetHadAlpha = targetChannels == 4 || targetChannels == 2;
    cv::UMat preparedTarget;
    if (!isEightBitColour(decodedTarget))
        preparedTarget = colourPlanes(decodedTarget);
    // The blend needs the unmatched target apart from the requantised colours
    // only when they can differ: samples deeper than 8 bits (never a stacked
    // LUT target). Nothing writes into the prepared target, so it serves as is.
    cv::UMat unmatchedTarget;
    if (strength < 1.0f && !preparedTarget.empty() && preparedTarget.depth() != CV_8U)
        unmatchedTarget = preparedTarget;

    reportProgress("030");
    // The 8-bit working colours, which the result is written over in place
    // (alpha untouched): the decoded target itself, its B, G, R planes, or
    // their requantised copy.
    cv::UMat working8;
    if (preparedTarget.empty())
        working8 = decodedTarget;
    else if (preparedTarget.depth() == CV_8U)
        working8 = preparedTarget;
    else
        working8 = requantised(preparedTarget).getUMat(cv::ACCESS_RW, cv::USAGE_DEFAULT);
    cv::Mat target8 = working8.getMat(cv::ACCESS_RW);
    // Pixels nobody can see do not steer the match. With LUT export every pixel
    // of the stacked target counts: the lattice's own alpha is 0, and the
    // weight of the lattice against the target copies is set by the stacking.
    VisiblePixels targetVisible;
    if (targetHadAlpha && !lutExport) {
        if (preparedTarget.empty())
            targetVisible.alphaInImage = true;
        else
            targetVisible.alpha = visibilityPlane(decodedTarget);
    }
    reportProgress("031");
    cv::UMat reference = decodedReference.get();
    VisiblePixels referenceVisible;
    if (isEightBitColour(reference))
        referenceVisible.alphaInImage = reference.channels() == 4;
    else
        referenceVisible.alpha = visibilityPlane(reference);
    // Only a reference that is not 8-bit colour meets OpenCL (colourPlanes,
    // requantised): it gets the header this thread would have given it.
    if (settings.useOpenCL && !isEightBitColour(reference)) {
        const cv::Mat pixels = reference.getMat(cv::ACCESS_READ).clone();
        reference = pixels.getUMat(cv::ACCESS_READ, cv::USAGE_DEFAULT);
    }
    reportProgress("032");
    if (!isEightBitColour(reference))
        reference = colourPlanes(reference);
    reportProgress("040");
    cv::Mat reference8 = reference.depth() == CV_8U ? reference.getMat(cv::ACCESS_READ) : requantised(reference);

    // The target's own lightness, kept for the result: one Lab conversion per
    // distinct colour. With LUT export nothing reads the result below the
    // lattice block (extractLattice), so only the block is finished.
    cv::Mat finishedPart =
        lutExport ? target8.rowRange(0, std::min(geometry.blockRows, target8.rows)) : target8;
    ColourIndex index = indexColours(finishedPart);
    cv::Mat paletteLightness;
    cv::extractChannel(bgrToLab(index.palette), paletteLightness, 0);

    reportProgress("050");
    TransferInputs inputs = momentsForTransfer(target8, reference8, targetVisible, referenceVisible);
    targetVisible = VisiblePixels();
    referenceVisible = VisiblePixels();
    reference8.release();
    reference.release();

    // From the target covariance on, a failure still gives the host an image:
    // the target as decoded.
    try {
        const ColourTransfer transfer = colourTransferOf(inputs);
        inputs = TransferInputs();
        const cv::Mat mappedColours = mapColours(index.palette, transfer);
        reportProgress("075");
        reportProgress("076");

        const cv::Mat finished =
            finishPalette(mappedColours, paletteLightness, index.palette, strength, unmatchedTarget.empty());
        // The lattice block goes to a 3-channel image of its own, which leaves
        // the decoded target as it was for the LUT files.
        cv::Mat matched = lutExport ? cv::Mat(finishedPart.size(), CV_8UC3) : finishedPart;
        gatherColours(index, finishedPart, finished, matched);
        index = ColourIndex();
        finishedPart.release();
        target8.release();
        cv::UMat result = lutExport ? matched.getUMat(cv::ACCESS_READ, cv::USAGE_DEFAULT) : working8;
        matched.release();
        working8.release();
        if (!unmatchedTarget.empty())
            blendWithUnmatched(result, unmatchedTarget, strength);
        reportProgress("079");

        if (!lutExport) {
            if (!targetHadAlpha)
                return result;
            if (result.channels() == 3)
                return restoreAlpha(result, decodedTarget);
            // Matched in place, the target's alpha is there already; the host
            // still sees the codes that frame putting it back.
            reportProgress("080");
            reportProgress("085");
            return result;
        }

        // Both LUT files are computed before either is written, so that a
        // failure leaves both from this run or neither.
        const cv::UMat transformedLattice = extractLattice(result, geometry);
        const cv::Mat lutTable = makeLutTable(transformedLattice, sampleLevels);
        cv::UMat outputLattice = makeOutputLattice(settings.lutSize);
        resampleTetrahedral(outputLattice, lutTable, sampleLevels, settings.lutSize);
        const QString text = buildCubeText(outputLattice, settings.lutSize);
        QString failure = writeUnwrappedLut(transformedLattice, settings.lutBasePath);
        if (!failure.isEmpty())
            lutFailures << failure;
        failure = writeCubeFile(text, settings.lutBasePath);
        if (!failure.isEmpty())
            lutFailures << failure;
        return cv::UMat::zeros(10, 10, CV_8UC3);
    } catch (...) {
        return afterCaughtFailure(decodedTarget);
    }
}
